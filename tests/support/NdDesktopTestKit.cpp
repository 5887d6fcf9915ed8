#include "NdDesktopTestKit.h"
#include "NdTestEnv.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

bool NdToolRun_t::Ok() const
{
    if (Finished && ExitCode == 0)
        return true;
    qWarning("%s: %s, exit code %d\n%s", qPrintable(Command), Finished ? "ended" : "did not end", ExitCode,
        qPrintable(Output));
    return false;
}

NdToolRun_t NdRunTool(
    const QString& program, const QStringList& arguments, const QProcessEnvironment& env, int timeoutMs)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    NdToolRun_t run;
    run.Command = (QStringList(program) + arguments).join(QLatin1Char(' '));
    if (!process.waitForStarted(10000)) {
        run.Output = process.errorString();
        return run;
    }
    run.Finished = process.waitForFinished(timeoutMs) && process.exitStatus() == QProcess::NormalExit;
    if (!run.Finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    run.ExitCode = process.exitCode();
    run.Output = QString::fromUtf8(process.readAll());
    return run;
}

QString NdBuildDir()
{
    return QFileInfo(QCoreApplication::applicationDirPath() + QStringLiteral("/..")).canonicalFilePath();
}

QProcessEnvironment NdBareEnvironment(const QString& home)
{
    QProcessEnvironment env;
    env.insert(QStringLiteral("PATH"), QProcessEnvironment::systemEnvironment().value(QStringLiteral("PATH")));
    env.insert(QStringLiteral("HOME"), home);
    const QString tmp = NdPrivateTmpDir(home);
    env.insert(QStringLiteral("TMPDIR"), tmp);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), tmp);
    // An instrumented build's settings are no help in finding the program's
    // parts, and without them its suppressions would be lost.
    for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
        if (qEnvironmentVariableIsSet(name))
            env.insert(QLatin1String(name), qEnvironmentVariable(name));
    }
    return env;
}

int NdExitCode(QProcess* process, int timeoutMs)
{
    const bool ended = process->waitForFinished(timeoutMs) && process->exitStatus() == QProcess::NormalExit;
    return ended ? process->exitCode() : -1;
}

QList<qint64> NdProcessesOf(const QString& program)
{
    const QString wanted = QFileInfo(program).canonicalFilePath();
    QList<qint64> ids;
    // The executable of another user's process reads as empty.
    if (wanted.isEmpty())
        return ids;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isNumber = false;
        const qint64 id = entry.toLongLong(&isNumber);
        if (isNumber && QFileInfo(QStringLiteral("/proc/%1/exe").arg(entry)).symLinkTarget() == wanted)
            ids << id;
    }
    return ids;
}

QStringList NdStartUpFindings(qint64 pid, const QString& logText)
{
    static const QRegularExpression startUpLine(QStringLiteral("NdDownloader \\S+ in (.+); deployment (.+), "
                                                               "admin (\\S+); product name \".+\"; ffmpeg (.+)$"),
        QRegularExpression::MultilineOption);
    static const QRegularExpression library(QStringLiteral("(/\\S+)/libNdCore\\.so"));
    const QRegularExpressionMatch line = startUpLine.match(logText);
    if (!line.hasMatch())
        return {};
    QFile maps(QStringLiteral("/proc/%1/maps").arg(pid));
    maps.open(QIODevice::ReadOnly);
    return {line.captured(1), line.captured(2), line.captured(3), line.captured(4),
        library.match(QString::fromUtf8(maps.readAll())).captured(1)};
}

QStringList NdInstalledFindings(const QString& prefix, const QString& platformUrl, const QString& ffmpeg)
{
    const QString bin = QFileInfo(prefix + QStringLiteral("/lib/nddownloader/bin")).canonicalFilePath();
    const QString deployFile = prefix + QStringLiteral("/lib/nddownloader/Resources/NdDeploy.json");
    return {bin, QFileInfo(deployFile).canonicalFilePath(), platformUrl + QLatin1Char('/'), ffmpeg, bin};
}

QStringList NdExpectedInstallFiles()
{
    QStringList files{
        QStringLiteral("bin/nddownloader"),
        QStringLiteral("lib/nddownloader/bin/NdDownloader"),
        QStringLiteral("lib/nddownloader/bin/ffmpeg"),
        QStringLiteral("lib/nddownloader/bin/libNdCore.so.1"),
        QStringLiteral("lib/nddownloader/bin/libNdCore.so." ND_PROJECT_VERSION),
        QStringLiteral("lib/nddownloader/Resources/NdDeploy.json"),
        QStringLiteral("lib/nddownloader/Resources/locale/en-US.ini"),
        QStringLiteral("lib/nddownloader/Resources/locale/zh-CN.ini"),
        QStringLiteral("share/applications/nddownloader.desktop"),
        QStringLiteral("share/metainfo/nddownloader.metainfo.xml"),
        QStringLiteral("share/man/man1/nddownloader.1.gz"),
        QStringLiteral("share/doc/nddownloader/copyright"),
        QStringLiteral("share/doc/nddownloader/changelog.gz"),
    };
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256, 512})
        files << QStringLiteral("share/icons/hicolor/%1x%1/apps/nddownloader.png").arg(size);
    files.sort();
    return files;
}

QStringList NdFilesBelow(const QString& root)
{
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::System | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(root).relativeFilePath(it.next());
    files.sort();
    return files;
}
