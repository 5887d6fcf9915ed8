// The whole program in one process: the application object, the main window,
// the task list and the rows, against the sample platform with the real
// backend, engine and ffmpeg, on the offscreen platform.
#include "NdApp.h"
#include "NdCommonMask.h"
#include "NdDownloader.h"
#include "NdEngineTestKit.h"
#include "NdLanguageHelper.h"
#include "NdNetworkTest.h"
#include "NdOpenEventFilter.h"
#include "NdTaskItem.h"
#include "NdTaskListView.h"
#include "NdTestEnv.h"
#include "NdToastTip.h"
#include "NdUiTestKit.h"

#include "NdCore/NdCacheManager.h"
#include "NdCore/NdDeploySettings.h"

#include <QCheckBox>
#include <QClipboard>
#include <QDialog>
#include <QDir>
#include <QLabel>
#include <QLayout>
#include <QPainter>
#include <QScreen>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const int kTaskTimeoutMs = 60000;

QString Str(const char* key)
{
    return NdLanguageHelper::GetInstance()->Str(key);
}

std::vector<DownloadTaskParam_t> StoredTasks()
{
    std::vector<DownloadTaskParam_t> tasks;
    NdCacheManager::GetInstance()->GetDownloadTasks(tasks);
    return tasks;
}

bool AllStoredIn(int state, size_t count)
{
    const std::vector<DownloadTaskParam_t> tasks = StoredTasks();
    return tasks.size() == count && std::all_of(tasks.begin(), tasks.end(), [state](const DownloadTaskParam_t& t) {
        return t.VideoState == state;
    });
}

// The rows top to bottom, by name.
QStringList RowNames(NdDownloader* window)
{
    QStringList names;
    QLayout* rows = window->findChild<QWidget*>(QStringLiteral("NdTaskListView_Widget"))->layout();
    for (int i = 0; rows && i < rows->count(); ++i) {
        if (auto* row = qobject_cast<NdTaskItem*>(rows->itemAt(i)->widget()))
            names << QString::fromStdString(row->GetDownloadTaskParam().VideoName);
    }
    return names;
}

int ShownPage(NdDownloader* window)
{
    return window->findChild<QStackedWidget*>()->currentIndex();
}

QString ToastText(NdDownloader* window)
{
    return window->findChild<NdToastTip*>()->findChild<QLabel*>(QStringLiteral("NdToastTip_TextLabel"))->text();
}

// Captures Qt's warnings, such as a thread destroyed while it runs or a
// signal sent to a deleted object.
QStringList g_warnings;
void CatchWarnings(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    // The offscreen platform's notices about what it cannot draw are no faults.
    if (type != QtDebugMsg && type != QtInfoMsg && !message.startsWith(QLatin1String("This plugin does not support")))
        g_warnings << message;
}

} // namespace

class TestNdDownloader : public NdPlatformTestCase
{
    Q_OBJECT
public:
    explicit TestNdDownloader(NdApp& app) : m_app(app) { }

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void tokenRequestThroughTheWindow();
    void requestText_data();
    void requestText();
    void openEventsHandTheTokenOnAsWritten_data();
    void openEventsHandTheTokenOnAsWritten();
    void clipboardRequests();
    void requestOnTheClipboardAtStartUp();
    void deleteRunningTask_data();
    void deleteRunningTask();
    void closeWithNothingDownloading();
    void stopAndQuitResumesAtTheNextStart();
    void startUpPicksUpWhatAKilledRunLeft();
    void aboutAndUpdateDialogsOverTheMask_data();
    void aboutAndUpdateDialogsOverTheMask();
    void networkProbe_data();
    void networkProbe();
    void offlineToastComesAndGoes();
    void mandatoryUpdateShowsOnlyTheUpdateDialog();

private:
    NdDownloader* OpenWindow();
    // Accepts every folder dialog with this test's download folder.
    std::unique_ptr<NdModalAnswerer> AcceptFolderDialogs();
    void Shoot(QWidget* widget, const QString& name);
    // The window with its mask and the dialog drawn over it where it stands.
    void ShootWithDialog(QWidget* window, QWidget* dialog, const QString& name);

    NdApp& m_app;
    QPointer<NdDownloader> m_window;
    NdOpenEventFilter m_filter;
};

void TestNdDownloader::initTestCase()
{
    NdPlatformTestCase::initTestCase();
    QVERIFY(m_app.InitBasicSettings());
}

void TestNdDownloader::init()
{
    NdPlatformTestCase::init();
    QGuiApplication::clipboard()->clear();
    NdCacheManager::GetInstance()->SetLastDownloadPath(m_downloads->path().toStdString());
    g_warnings.clear();
}

void TestNdDownloader::cleanup()
{
    qInstallMessageHandler(nullptr);
    NdNetworkTest::SetPingProgram(QString());
    delete m_window;
    delete m_app.GetMainWindow(); // left by a failed case, it would take the next one's requests
    NdPlatformTestCase::cleanup();
}

NdDownloader* TestNdDownloader::OpenWindow()
{
    NdSoftVersion_t version;
    version.Version = "1.0.4";
    m_window = new NdDownloader(nullptr, std::string(), version);
    connect(&m_filter, &NdOpenEventFilter::sigGetNewTask, m_window, &NdDownloader::onGetNewTask);
    // In front of the filter of the application's own window, which is gone.
    m_app.installEventFilter(&m_filter);
    m_window->setFixedSize(1080, 640);
    m_window->show();
    return m_window;
}

std::unique_ptr<NdModalAnswerer> TestNdDownloader::AcceptFolderDialogs()
{
    return std::make_unique<NdModalAnswerer>(
        "NdSetDownloadPathDlg", [](QDialog* dialog) { NdClickChild(dialog, "NdCloseDlg_OkBtn"); });
}

void TestNdDownloader::Shoot(QWidget* widget, const QString& name)
{
    const QString folder = QCoreApplication::applicationDirPath() + QStringLiteral("/../screenshots");
    QDir().mkpath(folder);
    QVERIFY(widget->grab().save(folder + QLatin1Char('/') + name + QStringLiteral(".png")));
}

void TestNdDownloader::ShootWithDialog(QWidget* window, QWidget* dialog, const QString& name)
{
    QPixmap picture = window->grab();
    QPainter painter(&picture);
    painter.drawPixmap(dialog->mapToGlobal(QPoint(0, 0)) - window->mapToGlobal(QPoint(0, 0)), dialog->grab());
    painter.end();
    const QString folder = QCoreApplication::applicationDirPath() + QStringLiteral("/../screenshots");
    QDir().mkpath(folder);
    QVERIFY(picture.save(folder + QLatin1Char('/') + name + QStringLiteral(".png")));
}

// A token delivered as an open event, through the application object's own
// window: rows appear newest on top, every video finishes, and a new window
// restores the list in the same order.
void TestNdDownloader::tokenRequestThroughTheWindow()
{
    auto folderDialogs = AcceptFolderDialogs();
    m_app.InitNdDownloader();
    QPointer<NdDownloader> window = m_app.GetMainWindow();
    QVERIFY(window);
    QCOMPARE(window->size(), QSize(1080, 640));
    QVERIFY(
        (window->geometry().center() - QGuiApplication::primaryScreen()->geometry().center()).manhattanLength() <= 2);
    QCOMPARE(ShownPage(window), 0);
    Shoot(window, QStringLiteral("main-window-empty"));

    // A request brings a minimised window back.
    window->showMinimized();
    QCoreApplication::postEvent(
        &m_app, new QFileOpenEvent(QUrl("nddownloader:///nadioDownLoader-token-plain,plain2,aes")));
    QTRY_COMPARE_WITH_TIMEOUT(RowNames(window).size(), 3, 10000);
    QVERIFY(!window->isMinimized());
    QCOMPARE(folderDialogs->Count(), 1);
    QCOMPARE(ShownPage(window), 1);
    const QStringList newestFirst = RowNames(window);
    QCOMPARE(newestFirst.first(), QStringLiteral("加密课程 AES-128"));
    QCOMPARE(newestFirst.last(), QStringLiteral("第1课 入门"));
    Shoot(window, QStringLiteral("main-window-downloading"));

    QTRY_VERIFY_WITH_TIMEOUT(AllStoredIn(Finished, 3), kTaskTimeoutMs);
    const QStringList lessons{"plain", "plain2", "aes"};
    for (const DownloadTaskParam_t& task : StoredTasks()) {
        const int lesson = 2 - newestFirst.indexOf(QString::fromStdString(task.VideoName));
        QVERIFY(lesson >= 0);
        const NdMediaInfo_t media = NdProbe(NdOutputPath(task));
        QVERIFY2(qAbs(media.Duration - SourceDuration(lessons[lesson])) < 0.5, qPrintable(NdOutputPath(task)));
    }
    QVERIFY(!QDir(m_downloads->path() + QStringLiteral("/~NdTemp")).exists()
        || QDir(m_downloads->path() + QStringLiteral("/~NdTemp")).isEmpty());
    Shoot(window, QStringLiteral("main-window-finished"));

    QVERIFY(window->close());
    QTRY_VERIFY(window.isNull());
    QCOMPARE(RowNames(OpenWindow()), newestFirst);
}

void TestNdDownloader::requestText_data()
{
    QTest::addColumn<QString>("urlText");
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("logged");
    QTest::newRow("three slashes") << "nddownloader:///nadioDownLoader-token-AbCdEf="
                                   << "nadioDownLoader-token-AbCdEf="
                                   << "nadioDownLoader-token-AbCd…";
    QTest::newRow("two slashes") << "nddownloader://nadioDownLoader-token-AbC="
                                 << "nadioDownLoader-token-AbC="
                                 << "nadioDownLoader-token-AbC=";
    QTest::newRow("no slash") << "nddownloader:nadioDownLoader-token-x"
                              << "nadioDownLoader-token-x"
                              << "nadioDownLoader-token-x";
    QTest::newRow("playlist with query") << "nddownloader:///nadioDownLoader-url-https://h/a.m3u8?sig=S%2B"
                                         << "nadioDownLoader-url-https://h/a.m3u8?sig=S%2B"
                                         << "nadioDownLoader-url-https://h/a.m3u8?…";
    QTest::newRow("no scheme") << "//nadioDownLoader-token-T"
                               << "nadioDownLoader-token-T"
                               << "nadioDownLoader-token-T";
    QTest::newRow("no marker") << "nddownloader:///something-secret"
                               << "something-secret"
                               << "some…";
}

void TestNdDownloader::requestText()
{
    QFETCH(QString, urlText);
    QFETCH(QString, request);
    QFETCH(QString, logged);
    QCOMPARE(NdOpenEventFilter::RequestText(urlText), request);
    QCOMPARE(NdDownloader::MaskedRequest(request), logged);
}

void TestNdDownloader::openEventsHandTheTokenOnAsWritten_data()
{
    QTest::addColumn<QString>("urlText");
    QTest::addColumn<bool>("raw");
    QTest::addColumn<QStringList>("queried");
    QTest::newRow("raw, host form") << "nddownloader://nadioDownLoader-token-MiXeD=" << true << QStringList{"MiXeD="};
    QTest::newRow("raw, path form") << "nddownloader:///nadioDownLoader-token-MiXeD%3D" << true
                                    << QStringList{"MiXeD%3D"};
    QTest::newRow("parsed, path form") << "nddownloader:///nadioDownLoader-token-AbC=" << false << QStringList{"AbC="};
    QTest::newRow("token wins over url") << "nddownloader:///nadioDownLoader-token-A-nadioDownLoader-url-B" << true
                                         << QStringList{"A-nadioDownLoader-url-B"};
    QTest::newRow("prefix twice") << "nddownloader:///nadioDownLoader-token-AnadioDownLoader-token-B" << true
                                  << QStringList{"AB"};
    QTest::newRow("prefix in capitals") << "nddownloader:///NADIODOWNLOADER-TOKEN-A" << true << QStringList();
}

void TestNdDownloader::openEventsHandTheTokenOnAsWritten()
{
    QFETCH(QString, urlText);
    QFETCH(bool, raw);
    QFETCH(QStringList, queried);
    NdDownloader* window = OpenWindow();
    QFileOpenEvent* event = raw ? new NdUrlOpenEvent(urlText) : new QFileOpenEvent(QUrl(urlText));
    QCoreApplication::postEvent(&m_app, event);
    // The platform answers "unknown" to these tokens: no task is made.
    QTRY_COMPARE(m_platform.TokensQueried(), queried);
    QTest::qWait(50);
    QCOMPARE(RowNames(window), QStringList());
}

void TestNdDownloader::clipboardRequests()
{
    QClipboard* clipboard = QGuiApplication::clipboard();
    NdDownloader* window = OpenWindow();
    clipboard->setText(QStringLiteral("just a note"));
    QTest::qWait(100);
    QCOMPARE(clipboard->text(), QStringLiteral("just a note"));

    // While the folder dialog is open a second request is dropped, not queued.
    bool secondSent = false;
    NdModalAnswerer folderDialogs("NdSetDownloadPathDlg", [&](QDialog* dialog) {
        window->onGetNewTask("nadioDownLoader-token-plain2");
        secondSent = true;
        NdClickChild(dialog, "NdCloseDlg_CancleBtn", Str("NdDownloader.Cancel"));
    });
    clipboard->setText(QStringLiteral("nadioDownLoader-token-plain"));
    QTRY_VERIFY(secondSent);
    QTRY_COMPARE(clipboard->text(), QString());
    QTest::qWait(100);
    QCOMPARE(folderDialogs.Count(), 1);
    QCOMPARE(m_platform.TokensQueried(), QStringList{"plain"});
    QCOMPARE(RowNames(window), QStringList());
    QCOMPARE(ShownPage(window), 0);
}

void TestNdDownloader::requestOnTheClipboardAtStartUp()
{
    const QString lesson = m_platform.LessonUrl(QStringLiteral("plain"));
    QGuiApplication::clipboard()->setText(QStringLiteral("nadioDownLoader-url-") + lesson);
    auto folderDialogs = AcceptFolderDialogs();
    NdDownloader* window = OpenWindow();
    QTRY_COMPARE(RowNames(window), QStringList{"test"});
    QCOMPARE(QGuiApplication::clipboard()->text(), QString());
    QTRY_VERIFY_WITH_TIMEOUT(AllStoredIn(Finished, 1), kTaskTimeoutMs);
    QCOMPARE(folderDialogs->Count(), 1);
    QCOMPARE(QString::fromStdString(StoredTasks().front().VideoM3U8Url), lesson);
}

void TestNdDownloader::deleteRunningTask_data()
{
    QTest::addColumn<bool>("deleteLocalFile");
    QTest::newRow("keep local file") << false;
    QTest::newRow("delete local file") << true;
}

void TestNdDownloader::deleteRunningTask()
{
    QFETCH(bool, deleteLocalFile);
    auto folderDialogs = AcceptFolderDialogs();
    NdDownloader* window = OpenWindow();
    window->onGetNewTask("nadioDownLoader-token-slow/plain");
    QTRY_VERIFY_WITH_TIMEOUT(AllStoredIn(Downloading, 1), 10000);
    const QString workFolder = QString::fromStdString(StoredTasks().front().VideoTempPath);
    QVERIFY(QDir(workFolder).exists());

    qInstallMessageHandler(CatchWarnings);
    NdModalAnswerer questions("NdQuestionBox", [&](QDialog* box) {
        box->findChild<QCheckBox*>(QStringLiteral("NdQuestionBox_QCheckBox"))->setChecked(deleteLocalFile);
        NdClickChild(box, "NdQuestionBox_OkBtn");
    });
    NdClickChild(window, "NdTaskItem_DeleteBtn");
    QCOMPARE(questions.Count(), 1);
    QCOMPARE(RowNames(window), QStringList());
    QCOMPARE(ShownPage(window), 0);
    QVERIFY(StoredTasks().empty());
    QCOMPARE(ToastText(window), Str("NdDownloader.DeletedTask"));
    // The task's thread removes what is left of the folder when its batch ends.
    QTRY_VERIFY_WITH_TIMEOUT(!QDir(workFolder).exists(), 10000);
    QTest::qWait(200);
    QVERIFY(StoredTasks().empty());
    QVERIFY(QDir(m_downloads->path()).entryList({"*.mp4"}, QDir::Files).isEmpty());
    qInstallMessageHandler(nullptr);
    QVERIFY2(g_warnings.isEmpty(), qPrintable(g_warnings.join('\n')));
}

void TestNdDownloader::closeWithNothingDownloading()
{
    // Tasks that are not downloading do not hold the window.
    int row = 0;
    for (int state : {Paused, Failed, NoDisk, MissFile, Finished}) {
        DownloadTaskParam_t task = LessonTask(QStringLiteral("plain"), ++row);
        task.VideoState = state;
        task.VideoDownloadFileSize = 0.1f * row;
        NdCacheManager::GetInstance()->SaveOneDownloadTask(task);
    }
    NdModalAnswerer closeDialogs("NdCloseDlg", [](QDialog* dialog) { dialog->reject(); });
    QPointer<NdDownloader> window = OpenWindow();
    QCOMPARE(RowNames(window).size(), row);
    Shoot(window, QStringLiteral("main-window-states"));
    QVERIFY(window->close());
    QTRY_VERIFY(window.isNull());
    QCOMPARE(closeDialogs.Count(), 0);
}

void TestNdDownloader::stopAndQuitResumesAtTheNextStart()
{
    auto folderDialogs = AcceptFolderDialogs();
    QPointer<NdDownloader> window = OpenWindow();
    window->onGetNewTask("nadioDownLoader-url-" + m_platform.LessonUrl(QStringLiteral("slow/plain")).toStdString());
    QTRY_VERIFY_WITH_TIMEOUT(AllStoredIn(Downloading, 1), 10000);

    // First "keep downloading": the window stays, minimised; then "stop and quit".
    NdModalAnswerer closeDialogs("NdCloseDlg", [this, &closeDialogs](QDialog* dialog) {
        if (closeDialogs.Count() == 2) {
            NdClickChild(dialog, "NdCloseDlg_CheckBox", Str("NdDownloader.StopAndQuit"));
            ShootWithDialog(m_window, dialog, QStringLiteral("main-window-close-dialog"));
        }
        NdClickChild(dialog, "NdCloseDlg_OkBtn");
    });
    QVERIFY(!window->close());
    QVERIFY(window->isMinimized());
    QVERIFY(AllStoredIn(Downloading, 1));
    qInstallMessageHandler(CatchWarnings);
    QVERIFY(window->close());
    QTRY_VERIFY(window.isNull());
    qInstallMessageHandler(nullptr);
    QCOMPARE(closeDialogs.Count(), 2);
    QVERIFY2(g_warnings.isEmpty(), qPrintable(g_warnings.join('\n')));
    QVERIFY(AllStoredIn(Downloading, 1));

    OpenWindow();
    QTRY_VERIFY_WITH_TIMEOUT(AllStoredIn(Finished, 1), kTaskTimeoutMs);
    const DownloadTaskParam_t task = StoredTasks().front();
    QVERIFY(qAbs(NdProbe(NdOutputPath(task)).Duration - SourceDuration(QStringLiteral("plain"))) < 0.5);
    QCOMPARE(NdDecodeErrors(NdOutputPath(task)), QString());
}

// A run killed at the wrong moment leaves a task stored as downloaded, a
// finished task's working folder, and a video moved just before its result was
// stored: each is taken up where it was left, nothing is merged twice.
void TestNdDownloader::startUpPicksUpWhatAKilledRunLeft()
{
    NdCacheManager* store = NdCacheManager::GetInstance();
    DownloadTaskParam_t downloaded = LessonTask(QStringLiteral("plain"), 1);
    downloaded.VideoState = Downloaded;
    downloaded.VideoDownloadFileSize = 0.5f;
    DownloadTaskParam_t finished = LessonTask(QStringLiteral("plain2"), 2);
    finished.VideoState = Finished;
    DownloadTaskParam_t moved = LessonTask(QStringLiteral("aes"), 3);
    moved.VideoState = Transcoding;
    for (const DownloadTaskParam_t& task : {downloaded, finished, moved}) {
        QVERIFY(QDir().mkpath(QString::fromStdString(task.VideoTempPath)));
        store->SaveOneDownloadTask(task);
    }
    QVERIFY(QFile(m_downloads->filePath(QStringLiteral("lesson 2.mp4"))).open(QIODevice::WriteOnly));
    QFile video(NdOutputPath(moved));
    QVERIFY(video.open(QIODevice::WriteOnly) && video.write(QByteArray(2000000, 'v')) == 2000000);
    video.close();
    QFile journal(QString::fromStdString(moved.VideoTempPath) + QStringLiteral("/filelist.moved"));
    QVERIFY(journal.open(QIODevice::WriteOnly) && journal.write(NdOutputPath(moved).toUtf8() + "\n2000000") > 0);
    journal.close();

    OpenWindow();
    QVERIFY(!QFileInfo::exists(QString::fromStdString(finished.VideoTempPath)));
    QTRY_VERIFY_WITH_TIMEOUT(AllStoredIn(Finished, 3), kTaskTimeoutMs);
    QCOMPARE(NdStoredTask(moved.VideoTempPath).VideoTranscodeFileSize, 2.0f);
    QCOMPARE(QDir(m_downloads->path()).entryList({"*.mp4"}, QDir::Files).size(), 3);
    QVERIFY(qAbs(NdProbe(NdOutputPath(downloaded)).Duration - SourceDuration(QStringLiteral("plain"))) < 0.5);
    QTRY_VERIFY(!QFileInfo::exists(m_downloads->filePath(QStringLiteral("~NdTemp"))));
}

void TestNdDownloader::aboutAndUpdateDialogsOverTheMask_data()
{
    QTest::addColumn<QString>("buttonText");
    QTest::addColumn<QString>("dialogClass");
    QTest::newRow("about") << Str("NdDownloader.About") << "NdAboutDlg";
    QTest::newRow("check update") << Str("NdDownloader.CheckUpdate") << "NdUpdateDlg";
}

void TestNdDownloader::aboutAndUpdateDialogsOverTheMask()
{
    QFETCH(QString, buttonText);
    QFETCH(QString, dialogClass);
    NdDownloader* window = OpenWindow();
    bool maskShown = false;
    NdModalAnswerer dialogs(dialogClass.toLatin1().constData(), [&](QDialog* dialog) {
        maskShown = window->GetMask()->isVisible();
        ShootWithDialog(window, dialog, QStringLiteral("main-window-") + dialogClass);
        dialog->reject();
    });
    NdClickChild(window, "NdDownloaderTitleBar_Btn", buttonText);
    QCOMPARE(dialogs.Count(), 1);
    QVERIFY(maskShown);
    QVERIFY(window->GetMask()->isHidden());
}

void TestNdDownloader::networkProbe_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<bool>("reachable");
    QTest::newRow("answer") << QByteArray("64 bytes from 127.0.0.1: icmp_seq=1 ttl=64 time=0.1 ms\n") << true;
    QTest::newRow("capitals only") << QByteArray("64 bytes: TTL=64\n") << false;
    QTest::newRow("no answer") << QByteArray("5 packets transmitted, 0 received\n") << false;
    QTest::newRow("nothing") << QByteArray() << false;
    QTest::newRow("after a zero byte") << QByteArray("x\0 ttl=64", 9) << false;
}

void TestNdDownloader::networkProbe()
{
    QFETCH(QByteArray, output);
    QFETCH(bool, reachable);
    QCOMPARE(NdNetworkTest::IsReachable(output), reachable);
}

// A ping that prints nothing (here: none installed) means offline; the real
// ping of 127.0.0.1 means online again.
void TestNdDownloader::offlineToastComesAndGoes()
{
    NdNetworkTest::SetPingProgram(QStringLiteral("/nonexistent/ping"));
    NdDownloader* window = OpenWindow();
    NdToastTip* toast = window->findChild<NdToastTip*>();
    QTRY_VERIFY_WITH_TIMEOUT(toast->isVisible(), 10000);
    QCOMPARE(ToastText(window), Str("NdDownloader.Offline"));
    Shoot(window, QStringLiteral("main-window-offline"));
    NdNetworkTest::SetPingProgram(QString());
    QTRY_VERIFY_WITH_TIMEOUT(toast->isHidden(), 20000);
}

void TestNdDownloader::mandatoryUpdateShowsOnlyTheUpdateDialog()
{
    QVERIFY(m_platform.SetVersion(R"({"code":0,"data":{"version":"9.9.9","msg":"must","download_url":")"
        + m_platform.BaseUrl().toUtf8() + R"(/installer/NdDownloader.dmg","must_update":1}})"));
    bool mainWindowSeen = true;
    NdModalAnswerer updateDialogs("NdUpdateDlg", [&](QDialog* dialog) {
        const QWidgetList windows = QApplication::topLevelWidgets();
        mainWindowSeen = std::any_of(windows.begin(), windows.end(),
            [](QWidget* w) { return qobject_cast<NdDownloader*>(w) && w->isVisible(); });
        Shoot(dialog, QStringLiteral("mandatory-update"));
        dialog->close();
    });
    QCOMPARE(m_app.Start(), 0);
    QCOMPARE(updateDialogs.Count(), 1);
    QVERIFY(!mainWindowSeen);
}

int main(int argc, char* argv[])
{
    NdTestInitEnvironment();
    // Nothing listens there: the start report fails at once instead of asking
    // a name server, until the platform's addresses are in force.
    NdDeploySettings unreachable;
    for (QString& admin : unreachable.AdminBaseUrls)
        admin = QStringLiteral("https://127.0.0.1:1/");
    unreachable.ReportBaseUrl = unreachable.FallbackReportBaseUrl = QStringLiteral("https://127.0.0.1:1/");
    unreachable.ProbeHost = QStringLiteral("127.0.0.1");
    NdDeploySettings::Set(unreachable);
    NdApp app(argc, argv);
    TestNdDownloader test(app);
    return QTest::qExec(&test, argc, argv);
}

#include "TestNdDownloader.moc"
