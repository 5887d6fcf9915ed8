#pragma once

#include <QString>
#include <QStringList>

// A throwaway system account, for a test that runs the program as a second
// user of the same computer. It is made when the test runs as root and removed
// again when the object goes, however the test ends: declare it before the
// processes that run as it, so they end first.
class NdTestUser
{
public:
    NdTestUser();
    ~NdTestUser();
    NdTestUser(const NdTestUser&) = delete;
    NdTestUser& operator=(const NdTestUser&) = delete;

    // False without root or when the account could not be made; ErrorString() says why.
    bool IsValid() const { return OwnUid != 0; }
    QString ErrorString() const { return Error; }
    uint Uid() const { return OwnUid; }

    // Hands the folder and everything below it to the user.
    bool Own(const QString& folder) const;
    // The command that runs the program and arguments after it as the user,
    // without root's groups, killed when the test process ends.
    QStringList RunAs() const;

private:
    QString Name;
    QString Error;
    uint OwnUid = 0;
    uint Gid = 0;
};
