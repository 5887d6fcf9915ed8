#pragma once

#include <QList>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// What the tests of the installed program share: tools run to their end, a
// bare environment, the program's processes and its start-up log line, and the
// files an install tree holds.

struct NdToolRun_t
{
    bool Finished = false; // started and ended on its own within the time limit
    int ExitCode = -1;
    QString Output; // standard output and error, interleaved

    bool Ok() const { return Finished && ExitCode == 0; }
};

// Runs a tool to its end (killed after timeoutMs).
NdToolRun_t NdRunTool(
    const QString& program, const QStringList& arguments, const QProcessEnvironment& env, int timeoutMs = 120000);
// "program arguments: exit code, output" for failure messages.
QString NdDescribeRun(const QString& program, const QStringList& arguments, const NdToolRun_t& run);

// The build folder (bin/, Resources/, install_manifest.txt, CPackConfig.cmake).
QString NdBuildDir();

// An environment with nothing of the test's own: PATH, and HOME, TMPDIR and
// XDG_RUNTIME_DIR inside `home`, as a fresh session has them.
QProcessEnvironment NdBareEnvironment(const QString& home);

// Ids of the running processes whose executable is `program`.
QList<qint64> NdProcessesOf(const QString& program);

// The start-up line of the program's log.
struct NdStartUpLine_t
{
    QString Folder;      // the program's own folder
    QString DeployFile;  // the deployment file it reads ("missing" when there is none)
    QString AdminUrl;    // the server address it uses
    QString ProductName; // a text of its language file
    QString Ffmpeg;      // the ffmpeg it runs ("missing" when it found none)
};
bool NdFindStartUpLine(const QString& logText, NdStartUpLine_t* line);

// The files and links of an install tree, relative to its prefix, sorted.
QStringList NdExpectedInstallFiles();
QStringList NdFilesBelow(const QString& root);
