#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>

// A process that ends with the test that started it, however the test ends:
// a program left running would hold whatever its test held.
class NdTestChildProcess : public QProcess
{
protected:
    void setupChildProcess() override;
};

// A copy of the program's bundle, as the build tree lays it out: bin/ with the
// program, its library and the ffmpeg link; Resources/ with the language file
// and a deployment file of the caller's (the sample platform's, say). Every
// user may run it, and its tmp/ is the temporary folder of every start, as
// /tmp is for every user of a computer.
class NdProgramBundle
{
public:
    bool Create(const QString& deployFile);
    QString ProgramPath() const { return Dir.path() + QStringLiteral("/bin/NdDownloader"); }
    QString TmpPath() const { return Dir.path() + QStringLiteral("/tmp"); }

    // What a start of the program sees: HOME at home, its data (store and logs)
    // below home + "/" + dataName, the bundle's tmp/ as the temporary folder,
    // and a private runtime folder (see NdPrivateTmpDir) shared by every start
    // with the same home, on the offscreen platform.
    QProcessEnvironment Environment(const QString& home, const QString& dataName) const;
    // The program's own data folder for that environment.
    static QString DataFolder(const QString& home, const QString& dataName);

private:
    QTemporaryDir Dir;
};
