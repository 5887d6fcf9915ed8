// The handler of nddownloader: URLs end to end, in a real X server (Xvfb) with
// the desktop's own tools and a temporary HOME: scripts/install-user registers
// the program, xdg-open starts it from the installed desktop entry on the
// sample platform, its folder dialog appears as a real window, a second
// xdg-open reaches the same instance, and the uninstall takes it all away.
// The steps run in order, as a user would take them.
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
#include <memory>

namespace {

const int kWindowMs = 30000;
const QSize kScreenSize(1280, 800);
const char* const kScheme = "x-scheme-handler/nddownloader";

} // namespace

class TestNdUrlHandler : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();

    void installRegistersTheHandler();
    void xdgOpenStartsOneInstance();
    void uninstallRemovesTheInstall();

private:
    NdToolRun_t Run(const QString& tool, const QStringList& arguments) const;
    QString Program() const;
    // Window ids of the program's visible modal dialogs.
    QStringList ModalDialogs() const;
    QProcess* XdgOpen(const QString& token);
    void EndProgram();

    NdSamplePlatformProcess m_platform;
    QTemporaryDir m_home;
    QProcessEnvironment m_env;
    QProcess m_xvfb;
    std::vector<std::unique_ptr<QProcess>> m_opens;
    QStringList m_installed;
    QList<qint64> m_programIds;
};

void TestNdUrlHandler::initTestCase()
{
    if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty())
        QSKIP("Xvfb is missing (Debian package xvfb, installed by scripts/bootstrap): no X server to test in");
    for (const char* tool : {"xdg-open", "xdg-mime", "xdotool", "xprop", "scrot", "update-desktop-database"})
        QVERIFY2(!QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty(), tool);
    QVERIFY2(m_platform.Start(), qPrintable(m_platform.ErrorString()));

    // -displayfd picks a free display and writes its number.
    m_xvfb.start(QStringLiteral("Xvfb"),
        {"-displayfd", "1", "-screen", "0",
            QStringLiteral("%1x%2x24").arg(kScreenSize.width()).arg(kScreenSize.height()), "-nolisten", "tcp",
            "-noreset"});
    QVERIFY(m_xvfb.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(m_xvfb.canReadLine(), 10000);
    const QString display = QString::fromLatin1(m_xvfb.readLine()).trimmed();

    // No desktop session, no D-Bus, no Qt platform of the test's own: xdg-open
    // takes its generic road through the desktop entries and mimeapps.list.
    m_env = NdBareEnvironment(m_home.path());
    m_env.insert(QStringLiteral("DISPLAY"), QLatin1Char(':') + display);
    // On a real X server Qt loads the system's plugins (input methods, D-Bus,
    // ICU) and unloads them at exit, after which their one-time allocations can
    // no longer be told apart from ours. The offscreen tests check the
    // program's leaks; here an instrumented build only looks for memory errors.
    if (m_env.contains(QStringLiteral("ASAN_OPTIONS")))
        m_env.insert(QStringLiteral("ASAN_OPTIONS"), m_env.value(QStringLiteral("ASAN_OPTIONS")) + " detect_leaks=0");
    m_env.insert(QStringLiteral("ND_BUILD_DIR"), NdBuildDir());
}

void TestNdUrlHandler::cleanupTestCase()
{
    // By the ids seen: once uninstalled, the program's executable reads as deleted.
    for (const qint64 id : qAsConst(m_programIds)) {
        if (QFileInfo(QStringLiteral("/proc/%1/exe").arg(id)).symLinkTarget().startsWith(m_home.path()))
            ::kill(static_cast<pid_t>(id), SIGKILL);
    }
    for (const std::unique_ptr<QProcess>& open : m_opens)
        open->waitForFinished(5000);
    m_xvfb.terminate();
    m_xvfb.waitForFinished(5000);
}

NdToolRun_t TestNdUrlHandler::Run(const QString& tool, const QStringList& arguments) const
{
    return NdRunTool(tool, arguments, m_env);
}

QString TestNdUrlHandler::Program() const
{
    return m_home.path() + QStringLiteral("/.local/lib/nddownloader/bin/NdDownloader");
}

QStringList TestNdUrlHandler::ModalDialogs() const
{
    QStringList dialogs;
    const NdToolRun_t windows = Run(QStringLiteral("xdotool"), {"search", "--onlyvisible", "--class", "NdDownloader"});
    for (const QString& window : windows.Output.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (Run(QStringLiteral("xprop"), {"-id", window, "_NET_WM_STATE"})
                .Output.contains(QLatin1String("_NET_WM_STATE_MODAL")))
            dialogs << window;
    }
    return dialogs;
}

QProcess* TestNdUrlHandler::XdgOpen(const QString& token)
{
    auto open = std::make_unique<QProcess>();
    open->setProcessEnvironment(m_env);
    open->setProcessChannelMode(QProcess::ForwardedChannels);
    open->start(QStringLiteral("xdg-open"), {QStringLiteral("nddownloader:///nadioDownLoader-token-") + token});
    m_opens.push_back(std::move(open));
    return m_opens.back().get();
}

void TestNdUrlHandler::installRegistersTheHandler()
{
    const QString script = NdTestSourceDir() + QStringLiteral("/scripts/install-user");
    const NdToolRun_t install = Run(script, {});
    QVERIFY2(install.Ok(), qPrintable(NdDescribeRun(script, {}, install)));
    QVERIFY(QFileInfo(Program()).isExecutable());
    QFile manifest(m_home.path() + QStringLiteral("/.local/lib/nddownloader/install-manifest.txt"));
    QVERIFY(manifest.open(QIODevice::ReadOnly));
    m_installed = QString::fromUtf8(manifest.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QStringList listed;
    for (const QString& file : qAsConst(m_installed))
        listed << QDir(m_home.path() + QStringLiteral("/.local")).relativeFilePath(file);
    listed.sort();
    QCOMPARE(listed, NdExpectedInstallFiles());

    const NdToolRun_t handler = Run(QStringLiteral("xdg-mime"), {"query", "default", kScheme});
    QCOMPARE(handler.Output.trimmed(), QStringLiteral("nddownloader.desktop"));

    // The sample platform's deployment file, put in as a packager would.
    const QString deployFile = m_home.path() + QStringLiteral("/.local/lib/nddownloader/Resources/NdDeploy.json");
    QVERIFY(QFile::remove(deployFile) && QFile::copy(m_platform.DeployFilePath(), deployFile));
}

void TestNdUrlHandler::xdgOpenStartsOneInstance()
{
    QVERIFY(QFileInfo::exists(Program()));
    QVERIFY(m_platform.Reset());
    QProcess* first = XdgOpen(QStringLiteral("demo"));
    QTRY_COMPARE_WITH_TIMEOUT(ModalDialogs().size(), 1, kWindowMs);
    // Started through the installed entry: the program of the install, once.
    m_programIds = NdProcessesOf(Program());
    QCOMPARE(m_programIds.size(), 1);
    QCOMPARE(m_platform.TokensQueried(), QStringList{"demo"});
    QCOMPARE(first->state(), QProcess::Running);

    const QString screenshots = NdBuildDir() + QStringLiteral("/screenshots");
    const QString shot = screenshots + QStringLiteral("/url-handler-folder-dialog.png");
    QVERIFY(QDir().mkpath(screenshots));
    QFile::remove(shot);
    const NdToolRun_t scrot = Run(QStringLiteral("scrot"), {shot});
    QVERIFY2(scrot.Ok(), qPrintable(scrot.Output));
    QCOMPARE(QImage(shot).size(), kScreenSize);

    // A key press from the X server closes the dialog: the request is dropped.
    const QString dialog = ModalDialogs().value(0);
    QVERIFY(Run(QStringLiteral("xdotool"), {"windowfocus", "--sync", dialog}).Ok());
    QVERIFY(Run(QStringLiteral("xdotool"), {"key", "Escape"}).Ok());
    QTRY_VERIFY_WITH_TIMEOUT(ModalDialogs().isEmpty(), kWindowMs);

    // The second start hands its URL over and ends.
    QProcess* second = XdgOpen(QStringLiteral("plain3"));
    QVERIFY(second->waitForFinished(kWindowMs));
    QCOMPARE(second->exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(m_platform.TokensQueried(), (QStringList{"demo", "plain3"}), kWindowMs);
    QTRY_COMPARE_WITH_TIMEOUT(ModalDialogs().size(), 1, kWindowMs);
    QCOMPARE(NdProcessesOf(Program()).size(), 1);

    // The session's SIGTERM ends it in order, also with a dialog open; the
    // first xdg-open waited for it and passes its exit code on.
    const QList<qint64> running = NdProcessesOf(Program());
    QCOMPARE(running.size(), 1);
    ::kill(static_cast<pid_t>(running.first()), SIGTERM);
    QVERIFY(first->waitForFinished(kWindowMs));
    QCOMPARE(first->exitCode(), 0);
    QVERIFY(NdProcessesOf(Program()).isEmpty());
}

void TestNdUrlHandler::uninstallRemovesTheInstall()
{
    QVERIFY(!m_installed.isEmpty());
    const QString script = NdTestSourceDir() + QStringLiteral("/scripts/install-user");
    const NdToolRun_t uninstall = Run(script, {"--uninstall"});
    QVERIFY2(uninstall.Ok(), qPrintable(NdDescribeRun(script, {"--uninstall"}, uninstall)));
    for (const QString& file : qAsConst(m_installed))
        QVERIFY2(!QFileInfo(file).exists() && !QFileInfo(file).isSymLink(), qPrintable(file));
    QVERIFY(!QFileInfo::exists(m_home.path() + QStringLiteral("/.local/lib/nddownloader")));
    QCOMPARE(Run(QStringLiteral("xdg-mime"), {"query", "default", kScheme}).Output.trimmed(), QString());
    QFile mimeapps(m_home.path() + QStringLiteral("/.config/mimeapps.list"));
    QVERIFY(!mimeapps.open(QIODevice::ReadOnly) || !mimeapps.readAll().contains("nddownloader"));
    // The user's data stays.
    QVERIFY(!NdTestLogText(m_home.path() + QStringLiteral("/.local/share/NdDownloader")).isEmpty());
}

QTEST_GUILESS_MAIN(TestNdUrlHandler)
#include "TestNdUrlHandler.moc"
