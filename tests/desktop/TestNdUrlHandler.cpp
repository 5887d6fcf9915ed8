// The handler of nddownloader: URLs end to end, in a real X server (Xvfb) with
// the desktop's own tools and a temporary HOME: scripts/install-user installs
// the tree to ~/.local and registers the program, xdg-open starts it from the
// installed desktop entry on the sample platform, its folder dialog appears as
// a real window, a second xdg-open reaches the same instance, and the
// uninstall takes it all away. The steps run in order, as a user would take them.
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

#include <csignal>

class TestNdUrlHandler : public QObject
{
    Q_OBJECT
private slots:
    void installOpenAndUninstall();
};

void TestNdUrlHandler::installOpenAndUninstall()
{
    if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty())
        QSKIP("Xvfb is missing (Debian package xvfb, installed by scripts/bootstrap): no X server to test in");
    NdSamplePlatformProcess platform;
    QVERIFY2(platform.Start(), qPrintable(platform.ErrorString()));
    QTemporaryDir home;
    const QString local = home.path() + QStringLiteral("/.local/");
    const QString program = local + QStringLiteral("lib/nddownloader/bin/NdDownloader");
    // -displayfd picks a free display and writes its number. Declared before
    // the program's starts, it ends after them, and the program with it.
    QProcess xvfb;
    xvfb.start(
        QStringLiteral("Xvfb"), {"-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp", "-noreset"});
    QTRY_VERIFY_WITH_TIMEOUT(xvfb.canReadLine(), 10000);

    // No desktop session, no D-Bus, no Qt platform of the test's own: xdg-open
    // takes its generic road through the desktop entries and mimeapps.list.
    QProcessEnvironment env = NdBareEnvironment(home.path());
    env.insert(QStringLiteral("DISPLAY"), QLatin1Char(':') + QString::fromLatin1(xvfb.readLine()).trimmed());
    env.insert(QStringLiteral("ND_BUILD_DIR"), NdBuildDir());
    // On a real X server Qt loads the system's plugins (input methods, D-Bus,
    // ICU) and unloads them at exit, after which their one-time allocations can
    // no longer be told apart from ours. The offscreen tests check the
    // program's leaks; here an instrumented build only looks for memory errors.
    if (env.contains(QStringLiteral("ASAN_OPTIONS")))
        env.insert(QStringLiteral("ASAN_OPTIONS"), env.value(QStringLiteral("ASAN_OPTIONS")) + " detect_leaks=0");
    const auto run
        = [&env](const QString& tool, const QStringList& arguments) { return NdRunTool(tool, arguments, env); };
    const auto modalDialogs = [&run]() {
        QStringList dialogs;
        const QString windows = run("xdotool", {"search", "--onlyvisible", "--class", "NdDownloader"}).Output;
        for (const QString& window : windows.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            if (run("xprop", {"-id", window, "_NET_WM_STATE"}).Output.contains("_NET_WM_STATE_MODAL"))
                dialogs << window;
        }
        return dialogs;
    };

    const QString script = NdTestSourceDir() + QStringLiteral("/scripts/install-user");
    QVERIFY(run(script, {}).Ok());
    // The sample platform's deployment file, put in as a packager would.
    const QString deployFile = local + QStringLiteral("lib/nddownloader/Resources/NdDeploy.json");
    QVERIFY(QFile::remove(deployFile) && QFile::copy(platform.DeployFilePath(), deployFile));

    // Started through the installed entry: the program of the install, once,
    // with the tree's own library, files and ffmpeg link.
    QProcess first;
    first.setProcessEnvironment(env);
    first.start(QStringLiteral("xdg-open"), {"nddownloader:///nadioDownLoader-token-demo"});
    QTRY_COMPARE_WITH_TIMEOUT(modalDialogs().size(), 1, 30000);
    const QList<qint64> ids = NdProcessesOf(program);
    QCOMPARE(ids.size(), 1);
    QCOMPARE(platform.TokensQueried(), QStringList{"demo"});
    QCOMPARE(NdStartUpFindings(ids.first(), NdTestLogText(local + QStringLiteral("share/NdDownloader"))),
        NdInstalledFindings(local, platform.BaseUrl(), local + QStringLiteral("lib/nddownloader/bin/ffmpeg")));
    const QString shot = NdBuildDir() + QStringLiteral("/screenshots/url-handler-folder-dialog.png");
    QVERIFY(QDir().mkpath(QFileInfo(shot).path()));
    QFile::remove(shot);
    QVERIFY(run("scrot", {shot}).Ok());
    QCOMPARE(QImage(shot).size(), QSize(1280, 800));

    // A key press from the X server closes the dialog: the request is dropped.
    QVERIFY(run("xdotool", {"windowfocus", "--sync", modalDialogs().value(0)}).Ok());
    QVERIFY(run("xdotool", {"key", "Escape"}).Ok());
    QTRY_VERIFY_WITH_TIMEOUT(modalDialogs().isEmpty(), 30000);

    // The second start hands its URL over and ends.
    QVERIFY(run("xdg-open", {"nddownloader:///nadioDownLoader-token-plain3"}).Ok());
    QTRY_COMPARE_WITH_TIMEOUT(platform.TokensQueried(), (QStringList{"demo", "plain3"}), 30000);
    QTRY_COMPARE_WITH_TIMEOUT(modalDialogs().size(), 1, 30000);
    QCOMPARE(NdProcessesOf(program), ids);

    // The session's SIGTERM ends it in order, also with a dialog open; the
    // first xdg-open waited for it and passes its exit code on.
    QCOMPARE(first.state(), QProcess::Running);
    ::kill(static_cast<pid_t>(ids.first()), SIGTERM);
    QCOMPARE(NdExitCode(&first), 0);

    // The uninstall takes away what the install added: of ~/.local only the
    // user's data stays, and no handler is left.
    QVERIFY(run(script, {"--uninstall"}).Ok());
    for (const QString& file : NdFilesBelow(local))
        QVERIFY2(file.startsWith(QLatin1String("share/NdDownloader/")), qPrintable(file));
    QVERIFY(!NdTestLogText(local + QStringLiteral("share/NdDownloader")).isEmpty());
    QCOMPARE(run("xdg-mime", {"query", "default", "x-scheme-handler/nddownloader"}).Output.trimmed(), QString());
}

QTEST_GUILESS_MAIN(TestNdUrlHandler)
#include "TestNdUrlHandler.moc"
