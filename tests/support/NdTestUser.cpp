#include "NdTestUser.h"

#include <QCoreApplication>
#include <QProcess>

#include <pwd.h>
#include <unistd.h>

namespace {
bool Run(const QString& program, const QStringList& arguments, QString* output = nullptr)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool ok
        = process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (output)
        *output = QString::fromLocal8Bit(process.readAll()).trimmed();
    return ok;
}
} // namespace

NdTestUser::NdTestUser()
{
    if (::geteuid() != 0) {
        Error = QStringLiteral("not root: no second user to run the program as");
        return;
    }
    // The process id keeps the name apart from other tests' accounts.
    const QString name = QStringLiteral("nd-test-%1").arg(QCoreApplication::applicationPid());
    QString output;
    if (!Run(QStringLiteral("useradd"), {"--system", "--no-create-home", "--shell", "/usr/sbin/nologin", name},
            &output)) {
        Error = QStringLiteral("useradd %1 failed: %2").arg(name, output);
        return;
    }
    Name = name;
    const passwd* account = ::getpwnam(qPrintable(name));
    if (!account) {
        Error = QStringLiteral("useradd made no account %1").arg(name);
        return;
    }
    OwnUid = account->pw_uid;
    Gid = account->pw_gid;
}

NdTestUser::~NdTestUser()
{
    QString output;
    if (!Name.isEmpty() && !Run(QStringLiteral("userdel"), {Name}, &output))
        qWarning("userdel %s: %s", qPrintable(Name), qPrintable(output));
}

bool NdTestUser::Own(const QString& folder) const
{
    return Run(QStringLiteral("chown"), {"-R", QStringLiteral("%1:%2").arg(OwnUid).arg(Gid), folder});
}

QStringList NdTestUser::RunAs() const
{
    // Changing the user clears the parent-death signal that the test's child
    // process set; setpriv sets it again after the change.
    return {"setpriv", QStringLiteral("--reuid=%1").arg(OwnUid), QStringLiteral("--regid=%1").arg(Gid),
        "--clear-groups", "--pdeathsig", "SIGKILL", "--"};
}
