// The Debian package, made by cpack into a temporary folder: it holds the
// install tree, the desktop's validators and lintian accept it, and the
// program runs from its unpacked tree with no help from the environment,
// finding its library, language files and deployment file, and ffmpeg.
#include "NdDesktopTestKit.h"
#include "NdSamplePlatformProcess.h"
#include "NdTestEnv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

class TestNdInstall : public QObject
{
    Q_OBJECT
private slots:
    void packageHoldsARunnableTree();
};

void TestNdInstall::packageHoldsARunnableTree()
{
    QTemporaryDir output;
    QVERIFY(
        NdRunTool("cpack", {"--config", NdBuildDir() + "/CPackConfig.cmake", "-G", "DEB", "-B", output.path()}).Ok());
    const QStringList packages = QDir(output.path()).entryList({"nddownloader_*.deb"}, QDir::Files);
    QCOMPARE(packages.size(), 1);
    const QString deb = output.filePath(packages.first());

    const QString fields = NdRunTool("dpkg-deb", {"--field", deb, "Depends", "Recommends"}).Output;
    for (const char* wanted : {"Depends: ffmpeg, iputils-ping, ", "libqt5widgets5", "libjsoncpp", "fonts-noto-cjk"})
        QVERIFY2(fields.contains(QLatin1String(wanted)), qPrintable(fields));

    QTemporaryDir root;
    QVERIFY(NdRunTool("dpkg-deb", {"-x", deb, root.path()}).Ok());
    const QString usr = root.path() + QStringLiteral("/usr");
    QCOMPARE(NdFilesBelow(usr), NdExpectedInstallFiles());
    QCOMPARE(QFileInfo(usr + "/bin/nddownloader").symLinkTarget(), usr + "/lib/nddownloader/bin/NdDownloader");
    QCOMPARE(QFileInfo(usr + "/lib/nddownloader/bin/ffmpeg").symLinkTarget(), usr + "/bin/ffmpeg");
    // Errors fail; lintian's warnings are shown.
    const NdToolRun_t lintian = NdRunTool("lintian", {"--fail-on", "error", deb});
    qInfo("%s", qPrintable(lintian.Output.trimmed()));
    const QString share = usr + QStringLiteral("/share/");
    QVERIFY(lintian.Ok() && NdRunTool("desktop-file-validate", {share + "applications/nddownloader.desktop"}).Ok());
    QVERIFY(NdRunTool("appstreamcli", {"validate", "--no-net", share + "metainfo/nddownloader.metainfo.xml"}).Ok());
    const QSettings entry(share + "applications/nddownloader.desktop", QSettings::IniFormat);
    QCOMPARE(entry.value("Desktop Entry/Exec").toString(), QStringLiteral("nddownloader %u"));
    QFile entryFile(share + "applications/nddownloader.desktop"); // QSettings reads ';' as a comment
    QVERIFY(entryFile.open(QIODevice::ReadOnly));
    QVERIFY(entryFile.readAll().contains("\nMimeType=x-scheme-handler/nddownloader;\n"));

    // Run with the sample platform's deployment file, put in as a packager
    // would. Out of place, the relative link to /usr/bin/ffmpeg leads nowhere:
    // the program takes the one on the PATH.
    NdSamplePlatformProcess platform;
    QVERIFY2(platform.Start(), qPrintable(platform.ErrorString()));
    const QString deployFile = usr + QStringLiteral("/lib/nddownloader/Resources/NdDeploy.json");
    QVERIFY(QFile::remove(deployFile) && QFile::copy(platform.DeployFilePath(), deployFile));
    QTemporaryDir home;
    QProcessEnvironment env = NdBareEnvironment(home.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("LANG"), QStringLiteral("de_DE.UTF-8")); // a desktop in neither language: English
    QProcess program;
    program.setProcessEnvironment(env);
    program.start(usr + QStringLiteral("/bin/nddownloader"), QStringList());
    const QString log = home.path() + QStringLiteral("/.local/share/NdDownloader");
    QTRY_COMPARE_WITH_TIMEOUT(NdStartUpFindings(program.processId(), NdTestLogText(log)),
        NdInstalledFindings(usr, platform.BaseUrl(), QStandardPaths::findExecutable(QStringLiteral("ffmpeg"))), 20000);
    QVERIFY(NdTestLogText(log).contains(QLatin1String("product name \"NdDownloader\"")));
    // The version check went to the platform named in the installed file.
    QTRY_VERIFY_WITH_TIMEOUT(!platform.Requests().isEmpty(), 20000);
    program.terminate();
    QCOMPARE(NdExitCode(&program), 0);
}

QTEST_GUILESS_MAIN(TestNdInstall)
#include "TestNdInstall.moc"
