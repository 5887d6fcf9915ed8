// The install tree and the Debian package, made by the real tools into
// temporary folders: what they hold, that the desktop's validators accept their
// entries, and that the program runs from them with no help from the
// environment, finding its library, language file, deployment file and ffmpeg.
#include "NdDesktopTestKit.h"
#include "NdSamplePlatformProcess.h"
#include "NdTestEnv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const int kStartMs = 20000;

QString BundleDeployFile(const QString& prefix)
{
    return prefix + QStringLiteral("/lib/nddownloader/Resources/NdDeploy.json");
}

// "lrwxrwxrwx root/root 0 2024-06-03 12:00 ./usr/bin/nddownloader -> ../lib/..." -> path and link target
QMap<QString, QString> PackageEntries(const QString& contents)
{
    QMap<QString, QString> entries;
    for (const QString& line : contents.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (line.startsWith(QLatin1Char('d')))
            continue;
        const QString entry = line.section(QLatin1Char(' '), 5, -1, QString::SectionSkipEmpty);
        entries.insert(entry.section(QStringLiteral(" -> "), 0, 0).mid(qstrlen("./usr/")),
            entry.section(QStringLiteral(" -> "), 1, 1));
    }
    return entries;
}

} // namespace

class TestNdInstall : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();

    void installTreeRunsWithoutHelp();
    void packageHoldsTheInstallTree();

private:
    void CheckTree(const QString& prefix, const QString& desktopExec);
    // Puts the platform's deployment file into the tree, as a packager would,
    // and runs the program from it offscreen in a fresh HOME.
    void CheckProgramRuns(const QString& prefix, const QString& expectedFfmpeg);
    void CheckTool(const QString& program, const QStringList& arguments);

    NdSamplePlatformProcess m_platform;
};

void TestNdInstall::initTestCase()
{
    QVERIFY2(m_platform.Start(), qPrintable(m_platform.ErrorString()));
}

void TestNdInstall::CheckTool(const QString& program, const QStringList& arguments)
{
    const NdToolRun_t run = NdRunTool(program, arguments, QProcessEnvironment::systemEnvironment());
    QVERIFY2(run.Ok(), qPrintable(NdDescribeRun(program, arguments, run)));
}

void TestNdInstall::CheckTree(const QString& prefix, const QString& desktopExec)
{
    QCOMPARE(NdFilesBelow(prefix), NdExpectedInstallFiles());
    const QString program = prefix + QStringLiteral("/lib/nddownloader/bin/NdDownloader");
    QCOMPARE(QFileInfo(prefix + QStringLiteral("/bin/nddownloader")).canonicalFilePath(),
        QFileInfo(program).canonicalFilePath());
    for (const QString& file : NdExpectedInstallFiles()) {
        if (!file.startsWith(QLatin1String("share/icons/")))
            continue;
        const int size = file.section(QLatin1Char('/'), 3, 3).section(QLatin1Char('x'), 0, 0).toInt();
        QCOMPARE(QImage(prefix + QLatin1Char('/') + file).size(), QSize(size, size));
    }

    const QString desktopFile = prefix + QStringLiteral("/share/applications/nddownloader.desktop");
    CheckTool(QStringLiteral("desktop-file-validate"), {desktopFile});
    CheckTool(QStringLiteral("appstreamcli"),
        {"validate", "--no-net", prefix + QStringLiteral("/share/metainfo/nddownloader.metainfo.xml")});
    QFile desktop(desktopFile);
    QVERIFY(desktop.open(QIODevice::ReadOnly));
    const QString entry = QString::fromUtf8(desktop.readAll());
    QVERIFY2(entry.contains(QStringLiteral("\nExec=%1 %u\n").arg(desktopExec)), qPrintable(entry));
    QVERIFY(entry.contains(QStringLiteral("\nMimeType=x-scheme-handler/nddownloader;\n")));
}

void TestNdInstall::CheckProgramRuns(const QString& prefix, const QString& expectedFfmpeg)
{
    QFile::remove(BundleDeployFile(prefix));
    QVERIFY(QFile::copy(m_platform.DeployFilePath(), BundleDeployFile(prefix)));
    QVERIFY(m_platform.Reset());
    QTemporaryDir home;
    QProcessEnvironment env = NdBareEnvironment(home.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    QProcess program;
    program.setProcessEnvironment(env);
    program.start(prefix + QStringLiteral("/bin/nddownloader"), QStringList());
    QVERIFY(program.waitForStarted());

    NdStartUpLine_t line;
    const QString dataDir = home.path() + QStringLiteral("/.local/share/NdDownloader");
    QTRY_VERIFY_WITH_TIMEOUT(NdFindStartUpLine(NdTestLogText(dataDir), &line), kStartMs);
    QFile maps(QStringLiteral("/proc/%1/maps").arg(program.processId()));
    QVERIFY(maps.open(QIODevice::ReadOnly));
    QVERIFY(maps.readAll().contains(
        QFileInfo(prefix + QStringLiteral("/lib/nddownloader/bin/libNdCore.so.1")).canonicalFilePath().toUtf8()));
    QCOMPARE(line.Folder, QFileInfo(prefix + QStringLiteral("/lib/nddownloader/bin")).canonicalFilePath());
    QCOMPARE(line.DeployFile, QFileInfo(BundleDeployFile(prefix)).canonicalFilePath());
    QCOMPARE(line.AdminUrl, m_platform.BaseUrl() + QLatin1Char('/'));
    QVERIFY(!line.ProductName.isEmpty());
    QCOMPARE(line.Ffmpeg, expectedFfmpeg);
    // The version check went to the platform named in the installed file.
    QTRY_VERIFY_WITH_TIMEOUT(!m_platform.Requests().isEmpty(), kStartMs);

    program.terminate();
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
}

void TestNdInstall::installTreeRunsWithoutHelp()
{
    QTemporaryDir prefix;
    const QStringList install{"--install", NdBuildDir(), "--prefix", prefix.path()};
    CheckTool(QStringLiteral("cmake"), install);
    if (QTest::currentTestFailed())
        return;
    CheckTree(prefix.path(), prefix.path() + QStringLiteral("/bin/nddownloader"));
    const QFileInfo ffmpeg(prefix.path() + QStringLiteral("/lib/nddownloader/bin/ffmpeg"));
    QVERIFY(ffmpeg.isSymLink() && QFileInfo(ffmpeg.canonicalFilePath()).isExecutable());
    CheckProgramRuns(prefix.path(), ffmpeg.absoluteFilePath());
}

void TestNdInstall::packageHoldsTheInstallTree()
{
    QTemporaryDir output;
    CheckTool(QStringLiteral("cpack"),
        {"--config", NdBuildDir() + QStringLiteral("/CPackConfig.cmake"), "-G", "DEB", "-B", output.path()});
    const QStringList packages = QDir(output.path()).entryList({"nddownloader_*.deb"}, QDir::Files);
    QCOMPARE(packages.size(), 1);
    const QString deb = output.filePath(packages.first());

    const NdToolRun_t contents
        = NdRunTool(QStringLiteral("dpkg-deb"), {"--contents", deb}, QProcessEnvironment::systemEnvironment());
    QVERIFY(contents.Ok());
    const QMap<QString, QString> entries = PackageEntries(contents.Output);
    QCOMPARE(entries.keys(), NdExpectedInstallFiles());
    QCOMPARE(entries.value("bin/nddownloader"), QStringLiteral("../lib/nddownloader/bin/NdDownloader"));
    QCOMPARE(entries.value("lib/nddownloader/bin/ffmpeg"), QStringLiteral("../../../bin/ffmpeg"));

    const NdToolRun_t fields = NdRunTool(QStringLiteral("dpkg-deb"), {"--field", deb, "Depends", "Recommends"},
        QProcessEnvironment::systemEnvironment());
    QVERIFY(fields.Ok());
    for (const char* wanted :
        {"Depends: ffmpeg, iputils-ping, ", "libqt5widgets5", "libjsoncpp", "Recommends: fonts-noto-cjk"})
        QVERIFY2(fields.Output.contains(QLatin1String(wanted)), qPrintable(fields.Output));

    // Errors fail; warnings are shown.
    const NdToolRun_t lintian
        = NdRunTool(QStringLiteral("lintian"), {"--fail-on", "error", deb}, QProcessEnvironment::systemEnvironment());
    qInfo("lintian: %s", qPrintable(lintian.Output.trimmed()));
    QVERIFY2(lintian.Ok(), qPrintable(lintian.Output));

    QTemporaryDir root;
    CheckTool(QStringLiteral("dpkg-deb"), {"-x", deb, root.path()});
    const QString usr = root.path() + QStringLiteral("/usr");
    CheckTree(usr, QStringLiteral("nddownloader"));
    // Out of place, the relative link to /usr/bin/ffmpeg leads nowhere: the
    // program takes the one on the PATH.
    CheckProgramRuns(usr, QStandardPaths::findExecutable(QStringLiteral("ffmpeg")));
}

QTEST_GUILESS_MAIN(TestNdInstall)
#include "TestNdInstall.moc"
