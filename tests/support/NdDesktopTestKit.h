#pragma once

#include <QList>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// What the tests of the program as processes share: tools run to their end,
// exit codes, a bare environment, the program's processes, what a running
// program found, and the files an install tree holds.

struct NdToolRun_t
{
    QString Command;
    bool Finished = false; // started and ended on its own within the time limit
    int ExitCode = -1;
    QString Output; // standard output and error, interleaved

    // Ended with 0; else logs the command, its end and its output, for the failure's message.
    bool Ok() const;
};

// Runs a tool to its end (killed after timeoutMs).
NdToolRun_t NdRunTool(const QString& program, const QStringList& arguments,
    const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment(), int timeoutMs = 120000);

// The build folder (bin/, Resources/, install_manifest.txt, CPackConfig.cmake).
QString NdBuildDir();

// An environment with nothing of the test's own: PATH, and HOME, TMPDIR and
// XDG_RUNTIME_DIR inside `home`, as a fresh session has them.
QProcessEnvironment NdBareEnvironment(const QString& home);

// The exit code of a process that ends normally within timeoutMs; else -1.
int NdExitCode(QProcess* process, int timeoutMs = 20000);

// Ids of the running processes whose executable is `program`.
QList<qint64> NdProcessesOf(const QString& program);

// What the running program `pid` found, from its start-up log line and its
// memory map: its own folder, the deployment file, the server, the ffmpeg it
// runs, the folder of the libNdCore it loaded. Empty before the line is logged
// and without a text of the language file.
QStringList NdStartUpFindings(qint64 pid, const QString& logText);
// The same for a program that runs from the install tree at prefix on its own,
// with the sample platform at platformUrl and the given ffmpeg.
QStringList NdInstalledFindings(const QString& prefix, const QString& platformUrl, const QString& ffmpeg);

// The files and links of an install tree, relative to its prefix, sorted.
QStringList NdExpectedInstallFiles();
QStringList NdFilesBelow(const QString& root);
