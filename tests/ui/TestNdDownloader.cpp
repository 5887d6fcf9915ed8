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
#include "NdTestNotificationService.h"
#include "NdUiTestKit.h"

#include "NdCore/NdCacheManager.h"
#include "NdCore/NdDeploySettings.h"

#include <QAbstractScrollArea>
#include <QClipboard>
#include <QDesktopServices>
#include <QJsonArray>
#include <QJsonObject>
#include <QLabel>
#include <QMenu>
#include <QScrollBar>
#include <QStackedWidget>
#include <QtTest>
#include <algorithm>

namespace {

bool EmptyPageShown(NdDownloader* window)
{
    return window->findChild<QStackedWidget*>()->currentIndex() == 0;
}

QLabel* Toast(NdDownloader* window)
{
    return NdChild<QLabel>(window, "NdToastTip_TextLabel");
}

// The offscreen platform gives no window the focus back when a dialog closes,
// as a desktop gives it to the dialog's parent.
bool BackInFront(QWidget* window)
{
    window->activateWindow();
    return QTest::qWaitForWindowActive(window);
}

NdTaskItem* Row(NdDownloader* window, const std::string& name)
{
    for (NdTaskItem* row : window->findChildren<NdTaskItem*>()) {
        if (row->isVisible() && row->GetDownloadTaskParam().VideoName == name)
            return row;
    }
    return nullptr;
}

} // namespace

class TestNdDownloader : public NdPlatformTestCase
{
    Q_OBJECT
public:
    explicit TestNdDownloader(NdApp& app) : App(app) { }

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void tokenRequestThroughTheWindow();
    void requestsByUrlAndClipboard();
    void deleteRunningTask();
    void namesFromTheServer();
    void stopAndQuitResumesAtTheNextStart();
    void longListMakesRowsInViewOnly();
    void offlineAndBackResumesByItself();
    void unreadableTaskListIsKept();
    void noticesWhileAway();
    void listByKeysMenuAndDoubleClick();
    void mandatoryUpdateShowsOnlyTheUpdateDialog();

private:
    NdDownloader* OpenWindow();

    NdApp& App;
    QPointer<NdDownloader> Window;
    NdOpenEventFilter Filter;
    NdUrlRecorder Urls; // what the window asks the desktop to open
    // Answers every folder dialog; OK, with this test's download folder, unless a case says otherwise.
    std::function<void(QDialog*)> FolderAnswer;
    NdModalAnswerer FolderDialogs{"NdSetDownloadPathDlg", [this](QDialog* dialog) { FolderAnswer(dialog); }};
};

void TestNdDownloader::initTestCase()
{
    NdPlatformTestCase::initTestCase();
    QVERIFY(App.InitBasicSettings());
    for (const char* scheme : {"file", "https"})
        QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), &Urls, "open");
}

void TestNdDownloader::init()
{
    NdPlatformTestCase::init();
    QGuiApplication::clipboard()->clear();
    NdCacheManager::GetInstance()->SetLastDownloadPath(Downloads->path().toStdString());
    FolderAnswer = [](QDialog* dialog) { NdClickChild(dialog, "NdCloseDlg_OkBtn"); };
}

void TestNdDownloader::cleanup()
{
    NdNetworkTest::SetPingProgram(QString());
    delete Window;
    delete App.GetMainWindow(); // left by a failed case, it would take the next one's requests
    NdPlatformTestCase::cleanup();
}

NdDownloader* TestNdDownloader::OpenWindow()
{
    Window = new NdDownloader(nullptr, std::string(), NdSoftVersion_t{"1.0.4", "", "", false});
    connect(&Filter, &NdOpenEventFilter::sigGetNewTask, Window, &NdDownloader::onGetNewTask);
    // In front of the filter of the application's own window, which is gone.
    App.installEventFilter(&Filter);
    Window->setFixedSize(1080, 640);
    Window->show();
    return Window;
}

// A token delivered as an open event, through the application object's own
// window: a minimised window comes back, rows appear newest on top, and every
// video finishes whole.
void TestNdDownloader::tokenRequestThroughTheWindow()
{
    App.InitNdDownloader();
    QPointer<NdDownloader> window = App.GetMainWindow();
    QVERIFY(EmptyPageShown(window));
    window->showMinimized();
    const int dialogsBefore = FolderDialogs.Count();
    QCoreApplication::postEvent(
        &App, new QFileOpenEvent(QUrl("nddownloader:///nadioDownLoader-token-plain,plain2,aes")));
    QTRY_COMPARE_WITH_TIMEOUT(NdRowNames(window).size(), 3, 10000);
    QVERIFY(!window->isMinimized());
    QCOMPARE(FolderDialogs.Count(), dialogsBefore + 1);
    const QStringList newestFirst = NdRowNames(window);
    QCOMPARE(newestFirst.first(), QStringLiteral("加密课程 AES-128"));
    QCOMPARE(newestFirst.last(), QStringLiteral("第1课 入门"));
    // The title bar's dialogs run over a mask on the window.
    const std::pair<const char*, QString> buttons[]
        = {{"NdDownloader.About", "NdAboutDlg"}, {"NdDownloader.CheckUpdate", "NdUpdateDlg"}};
    for (const auto& button : buttons) {
        bool maskShown = false, shot = false;
        NdModalAnswerer dialogs(button.second.toLatin1().constData(), [&](QDialog* dialog) {
            maskShown = window->GetMask()->isVisible();
            shot = NdUiShoot(window, QStringLiteral("main-window-") + button.second, dialog);
            dialog->reject();
        });
        NdClickChild(window, "NdDownloaderTitleBar_Btn", NdUiStr(button.first));
        QCOMPARE(dialogs.Count(), 1);
        QVERIFY(maskShown && shot);
        QVERIFY(window->GetMask()->isHidden());
    }

    QTRY_COMPARE_WITH_TIMEOUT(NdStoredIn(Finished), 3, kTaskTimeoutMs);
    const QStringList lessons{"aes", "plain2", "plain"};
    for (const DownloadTaskParam_t& task : NdStoredTasks()) {
        const QString lesson = lessons.value(newestFirst.indexOf(QString::fromStdString(task.VideoName)));
        QVERIFY2(IsWhole(task, lesson), qPrintable(lesson));
    }
    QVERIFY(NdUiShoot(window, QStringLiteral("main-window-finished")));
    QVERIFY(window->close());
    QTRY_VERIFY(window.isNull());
    NdLanguageHelper::GetInstance()->Init("en-US"); // the same list in the other language
    QVERIFY(NdUiShoot(OpenWindow(), QStringLiteral("main-window-en-US")));
    NdLanguageHelper::GetInstance()->Init(NdLanguageHelper::kFirstLanguage);
}

// The platform gets a token as the URL wrote it, in raw host or path form or
// parsed; it knows none of these, so no task is made. A note on the clipboard
// stays; a request is taken off it, and while its folder dialog is open a
// second request is dropped, not queued. The log shows the start of a token,
// a playlist address without its query.
void TestNdDownloader::requestsByUrlAndClipboard()
{
    const QStringList requestAndLogged{"nadioDownLoader-token-AbCdEf=", "nadioDownLoader-token-AbCd…",
        "nadioDownLoader-url-https://h/a.m3u8?sig=S", "nadioDownLoader-url-https://h/a.m3u8?…", "something", "some…"};
    for (int i = 0; i < requestAndLogged.size(); i += 2)
        QCOMPARE(NdDownloader::MaskedRequest(requestAndLogged[i]), requestAndLogged[i + 1]);
    NdDownloader* window = OpenWindow();
    QCoreApplication::postEvent(&App, new NdUrlOpenEvent("nddownloader://nadioDownLoader-token-MiXeD="));
    QTRY_COMPARE(Platform.TokensQueried().size(), 1);
    QCoreApplication::postEvent(&App, new NdUrlOpenEvent("nddownloader:///nadioDownLoader-token-MiXeD%3D"));
    QTRY_COMPARE(Platform.TokensQueried().size(), 2);
    QCoreApplication::postEvent(&App, new NdUrlOpenEvent("nddownloader:///NADIODOWNLOADER-TOKEN-A"));
    QCoreApplication::postEvent(&App, new QFileOpenEvent(QUrl("nddownloader:nadioDownLoader-token-AbC=")));
    QTRY_COMPARE(Platform.TokensQueried(), (QStringList{"MiXeD=", "MiXeD%3D", "AbC="}));

    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->setText(QStringLiteral("just a note"));
    QTest::qWait(100);
    QCOMPARE(clipboard->text(), QStringLiteral("just a note"));
    FolderAnswer = [window](QDialog* dialog) {
        window->onGetNewTask("nadioDownLoader-token-plain2");
        dialog->reject();
    };
    clipboard->setText(QStringLiteral("nadioDownLoader-token-plain"));
    QTRY_COMPARE(clipboard->text(), QString());
    QTest::qWait(200);
    QCOMPARE(Platform.TokensQueried().mid(3), QStringList{"plain"});
    QVERIFY(EmptyPageShown(window));
}

// A cancelled question keeps the row. Once the scheduler has let the row go,
// the task's thread touches nothing more: no warnings, nothing stored, the
// working folder and the video gone, the empty page back.
void TestNdDownloader::deleteRunningTask()
{
    NdDownloader* window = OpenWindow();
    window->onGetNewTask("nadioDownLoader-token-slow/plain");
    QTRY_COMPARE_WITH_TIMEOUT(NdStoredIn(Downloading), 1, 10000);
    const QString workFolder = QString::fromStdString(NdStoredTasks().front().VideoTempPath);
    NdWarningCatcher warnings;
    NdModalAnswerer questions("NdQuestionBox", [&questions](QDialog* box) {
        if (questions.Count() == 1)
            return NdClickChild(box, "NdQuestionBox_CancleBtn");
        NdClickChild(box, "NdQuestionBox_QCheckBox"); // and the local file
        NdClickChild(box, "NdQuestionBox_OkBtn");
    });
    NdClickChild(window, "NdTaskItem_DeleteBtn");
    QCOMPARE(NdRowNames(window).size(), 1);
    NdClickChild(window, "NdTaskItem_DeleteBtn");
    QCOMPARE(questions.Count(), 2);
    QVERIFY(EmptyPageShown(window));
    QCOMPARE(Toast(window)->text(), NdUiStr("NdDownloader.DeletedTask"));
    QVERIFY(NdUiShoot(window, QStringLiteral("main-window-deleted")));
    // The task's thread removes what is left of the folder when its batch ends.
    QTRY_VERIFY_WITH_TIMEOUT(!QDir(workFolder).exists(), 10000);
    QTest::qWait(200);
    QVERIFY(NdStoredTasks().empty());
    QVERIFY2(warnings.Warnings().isEmpty(), qPrintable(warnings.Warnings()));
}

// Lessons of hostile names each end as one playable file under a name that is
// valid on disk, and their rows and records name that file. Two lessons of one
// name in one request get two names: deleting the second with its file leaves
// the first's.
void TestNdDownloader::namesFromTheServer()
{
    const QStringList titles{QString(100, QChar(0x8BFE)), "a\nb", QStringLiteral("x") + QChar(0) + "y", "...", "-rf",
        "..", " .Lesson. ", "Lesson"};
    QStringList entries;
    for (const QString& title : titles)
        entries << QStringLiteral("plain#") + QString::fromLatin1(QUrl::toPercentEncoding(title));
    NdDownloader* window = OpenWindow();
    window->onGetNewTask(("nadioDownLoader-token-" + entries.join(',')).toStdString());
    QTRY_COMPARE_WITH_TIMEOUT(NdStoredIn(Finished), titles.size(), kTaskTimeoutMs);
    QStringList names;
    for (const DownloadTaskParam_t& task : NdStoredTasks()) {
        const QString name = QString::fromStdString(task.VideoName);
        names << name;
        QVERIFY2(name.toUtf8().size() + int(strlen("(1).mp4")) <= 255 && name == name.trimmed(), qPrintable(name));
        QVERIFY2(!name.contains(QChar(0)) && !name.contains('\n') && !name.endsWith('.'), qPrintable(name));
        QVERIFY2(NdProbe(NdOutputPath(task)).Duration > 3.0, qPrintable(name));
    }
    QCOMPARE(QDir(Downloads->path()).entryList({"*.mp4"}, QDir::Files).size(), titles.size());
    const QStringList rowNames = NdRowNames(window);
    QCOMPARE(QSet<QString>(names.begin(), names.end()).size(), titles.size());
    QCOMPARE(QSet<QString>(names.begin(), names.end()), QSet<QString>(rowNames.begin(), rowNames.end()));
    QVERIFY(names.contains("Lesson") && names.contains("Lesson(1)"));
    NdModalAnswerer questions("NdQuestionBox", [](QDialog* box) {
        NdClickChild(box, "NdQuestionBox_QCheckBox"); // and the local file
        NdClickChild(box, "NdQuestionBox_OkBtn");
    });
    // The row hears of the end by a queued signal, after the store.
    QTRY_COMPARE(Row(window, "Lesson(1)")->GetDownloadTaskParam().VideoState, int(Finished));
    NdClickChild(Row(window, "Lesson(1)"), "NdTaskItem_DeleteBtn");
    QCOMPARE(QDir(Downloads->path()).entryList({"Lesson*.mp4"}), QStringList{"Lesson.mp4"});
}

// A playlist address on the clipboard at start-up starts a download. Closing
// asks: cancel keeps the window, "keep downloading" only minimises, "stop and
// quit" ends the threads before the window goes and leaves the task to resume.
void TestNdDownloader::stopAndQuitResumesAtTheNextStart()
{
    // Long enough to be still downloading after the close dialogs, on a slow build too.
    const QString lesson = Platform.LessonUrl(QStringLiteral("slow/long"));
    QGuiApplication::clipboard()->setText(QStringLiteral("nadioDownLoader-url-") + lesson);
    QPointer<NdDownloader> window = OpenWindow();
    QTRY_COMPARE(NdRowNames(window), QStringList{"test"});
    QCOMPARE(QGuiApplication::clipboard()->text(), QString());
    QTRY_COMPARE_WITH_TIMEOUT(NdStoredIn(Downloading), 1, 10000);
    QCOMPARE(QString::fromStdString(NdStoredTasks().front().VideoM3U8Url), lesson);

    bool shot = false;
    NdModalAnswerer closeDialogs("NdCloseDlg", [&](QDialog* dialog) {
        const QString quit = NdUiStr("NdDownloader.StopAndQuit");
        if (closeDialogs.Count() == 1)
            return NdClickChild(dialog, "NdCloseDlg_CancleBtn");
        NdClickChild(dialog, "NdCloseDlg_CheckBox", quit);
        NdClickChild(dialog, "NdCloseDlg_CheckBox",
            closeDialogs.Count() == 2 ? NdUiStr("NdDownloader.ContinueAndTrayShow") : quit);
        if (closeDialogs.Count() == 3)
            shot = NdUiShoot(window, QStringLiteral("main-window-close-dialog"), dialog);
        NdClickChild(dialog, "NdCloseDlg_OkBtn");
    });
    NdClickChild(window, "NdDownloaderTitleBar_Macos_CloseBtn");
    QTRY_COMPARE(ReportCount(QString("btn_exit")), 1); // the kit's own buttons are reported too
    QVERIFY(!window->isMinimized());
    QVERIFY(!window->close());
    QVERIFY(window->isMinimized());
    NdWarningCatcher warnings;
    QVERIFY(window->close());
    QTRY_VERIFY(window.isNull());
    QVERIFY(shot);
    QVERIFY2(warnings.Warnings().isEmpty(), qPrintable(warnings.Warnings()));
    QCOMPARE(NdStoredIn(Downloading), 1);
}

// A task list that is there but cannot be read (here a folder stands in its
// place) is never written over; the user is told.
void TestNdDownloader::unreadableTaskListIsKept()
{
    const QString taskFile = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + "/NdDownloadTasks.bin";
    QVERIFY(QDir().mkpath(taskFile));
    NdCacheManager::GetInstance()->Reload();
    NdDownloader* window = OpenWindow();
    QCOMPARE(Toast(window)->text(), NdUiStr("NdDownloader.TaskListUnreadable"));
    window->onGetNewTask("nadioDownLoader-token-plain");
    QTRY_COMPARE(NdRowNames(window).size(), 1);
    QVERIFY(QFileInfo(taskFile).isDir() && QDir(taskFile).removeRecursively());
}

// A long list has rows only for the tasks in view; each shown task's record
// names its row, the others none. The oldest task, far out of view, downloads
// meanwhile, and the row that shows it once it is scrolled to tells how it ended.
// A finished task's working folder, left by a killed run, goes at the start;
// paused tasks wait, and do not hold the window when it closes.
void TestNdDownloader::longListMakesRowsInViewOnly()
{
    const int count = 40;
    QString finished; // the working folder of the finished task
    for (int i = 0; i < count; ++i) {
        const DownloadTaskParam_t task = StoredLessonTask("plain", i, i == 0 ? Wait : i == 1 ? Finished : Paused);
        finished = i == 1 ? QString::fromStdString(task.VideoTempPath) : finished;
    }
    QPointer<NdDownloader> window = OpenWindow();
    QVERIFY(!QFileInfo::exists(finished));
    NdTaskListView* list = window->findChild<NdTaskListView*>();
    const auto shown = [&] {
        QStringList names;
        for (const DownloadTaskParam_t& task : list->GetTasks()) {
            auto* row = static_cast<NdTaskItem*>(task.TaskItem);
            if (row && row->isVisible() && row->GetDownloadTaskParam().VideoTempPath == task.VideoTempPath)
                names << QString::fromStdString(task.VideoName);
        }
        return names;
    };
    QCOMPARE(list->GetItemCount(), count);
    QVERIFY(shown().size() < 15 && shown().first() == QStringLiteral("lesson 39"));
    QVERIFY(window->findChildren<NdTaskItem*>().size() <= shown().size() + 1);
    QTRY_COMPARE_WITH_TIMEOUT(NdStoredIn(Finished), 2, kTaskTimeoutMs);
    QScrollBar* bar = list->findChild<QAbstractScrollArea*>()->verticalScrollBar();
    bar->setValue(bar->maximum());
    QVERIFY(shown().contains(QStringLiteral("lesson 0")) && !shown().contains(QStringLiteral("lesson 39")));
    QVERIFY(window->findChildren<NdTaskItem*>().size() < 20);
    // The store is written before the row hears of the end: the row follows shortly.
    QTRY_COMPARE(NdChild<QLabel>(Row(window, "lesson 0"), "NdTaskItem_TextLabel", 1)->text(),
        NdUiStr("NdDownloader.DownloadFinished"));
    NdModalAnswerer closeDialogs("NdCloseDlg", [](QDialog* dialog) { dialog->reject(); });
    QVERIFY(window->close());
    QTRY_VERIFY(window.isNull());
    QCOMPARE(closeDialogs.Count(), 0);
}

// Out of the user's sight, a request whose lessons have all finished and a
// failed task each show a desktop notice naming the lessons and the folder;
// in front of the user, nothing is sent.
void TestNdDownloader::noticesWhileAway()
{
    NdTestNotificationService service;
    if (!service.Start())
        QSKIP("no session bus of the test's own: dbus-run-session is missing");
    NdDownloader* window = OpenWindow();
    QVERIFY(BackInFront(window));
    const QString folder = Downloads->path();
    const auto request = [&](const char* token, int rows) {
        window->onGetNewTask(token);
        QTRY_COMPARE(NdRowNames(window).size(), rows);
        window->showMinimized();
    };
    window->onGetNewTask("nadioDownLoader-token-plain");
    QVERIFY(BackInFront(window));
    QTRY_COMPARE_WITH_TIMEOUT(NdStoredIn(Finished), 1, kTaskTimeoutMs);
    request("nadioDownLoader-token-plain2,plain3", 3);
    // The service hears the notices in the order sent: this first one proves
    // that none went out while the window was in front.
    QTRY_COMPARE_WITH_TIMEOUT(service.Notices().size(), 1, kTaskTimeoutMs);
    QCOMPARE(service.Notices().at(0).Summary, NdUiStr("NdDownloader.DoneTitle"));
    QCOMPARE(service.Notices().at(0).Body,
        NdUiStr("NdDownloader.DoneText").arg(NdUiStr("NdDownloader.LessonCount").arg(2), folder));
    request("nadioDownLoader-token-slow/late/seg404/long", 4);
    QTRY_COMPARE_WITH_TIMEOUT(service.Notices().size(), 2, kTaskTimeoutMs);
    QCOMPARE(service.Notices().at(1).Summary, NdUiStr("NdDownloader.FailTitle"));
    QCOMPARE(service.Notices().at(1).Body, NdUiStr("NdDownloader.FailText").arg(NdRowNames(window).first()));
}

// A click selects a row: Space starts it, Delete asks first. The menu starts
// every task that waits for the user and takes the finished ones off the list,
// never their videos. A double click opens a finished video, or shows it missing.
void TestNdDownloader::listByKeysMenuAndDoubleClick()
{
    const QStringList lessons{"plain", "plain2", "plain3"};
    const int states[] = {Failed, Paused, Finished};
    QStringList videos;
    for (int i = 0; i < lessons.size(); ++i)
        videos << NdOutputPath(StoredLessonTask(lessons[i], i, states[i]));
    QVERIFY(NdWriteFile(videos[2], "video"));
    NdDownloader* window = OpenWindow();
    QVERIFY(BackInFront(window));
    NdTaskItem* finished = Row(window, "lesson 2");
    QTest::mouseDClick(finished, Qt::LeftButton);
    QCOMPARE(Urls.Opened.value(0), QUrl::fromLocalFile(videos[2]));
    QVERIFY(QFile::remove(videos[2]));
    QTest::mouseDClick(finished, Qt::LeftButton);
    QCOMPARE(finished->GetDownloadTaskParam().VideoState, int(MissFile));
    QCOMPARE(Urls.Opened.size(), 1);

    QTest::mouseClick(Row(window, "lesson 1"), Qt::LeftButton);
    NdModalAnswerer questions("NdQuestionBox", [](QDialog* box) { NdClickChild(box, "NdQuestionBox_CancleBtn"); });
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Delete);
    QCOMPARE(questions.Count(), 1);
    QVERIFY(BackInFront(window));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    QCOMPARE(NdRowNames(window).size(), 3);
    // The store knows nothing of the missing video: it counts as finished there.
    QTRY_COMPARE_WITH_TIMEOUT(NdStoredIn(Finished), 2, kTaskTimeoutMs);

    bool shot = false;
    QTimer::singleShot(0, window, [&]() {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        QVERIFY(menu);
        shot = NdUiShoot(window, QStringLiteral("main-window-menu"), menu);
        menu->actions().at(0)->trigger(); // start all
        menu->close();
    });
    NdTaskItem* failed = Row(window, "lesson 0");
    QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(10, 10), failed->mapToGlobal(QPoint(10, 10)));
    QApplication::sendEvent(failed, &click);
    QVERIFY(shot);
    // The rows, not the store: the store is written before a row hears of it.
    const auto rowsEnded = [window]() {
        const std::vector<DownloadTaskParam_t> tasks = window->GetTaskListView()->GetTasks();
        return std::count_if(tasks.begin(), tasks.end(),
            [](const DownloadTaskParam_t& task) { return task.VideoState == Finished || task.VideoState == MissFile; });
    };
    QTRY_COMPARE_WITH_TIMEOUT(rowsEnded(), 3L, kTaskTimeoutMs);
    std::unique_ptr<QMenu> menu(window->GetTaskListView()->MakeContextMenu(nullptr));
    QCOMPARE(menu->actions().at(1)->isEnabled(), false); // nothing left to pause
    menu->actions().at(3)->trigger();                    // remove the finished
    QVERIFY(EmptyPageShown(window));
    QVERIFY(QFileInfo::exists(videos[0]) && QFileInfo::exists(videos[1]));
}

// A ping that prints nothing (here: none installed) means offline; the real
// ping of 127.0.0.1 means online again. A lesson that failed because of the
// network meanwhile starts again by itself then, and ends whole.
void TestNdDownloader::offlineAndBackResumesByItself()
{
    QVERIFY(NdNetworkTest::IsReachable("64 bytes from 127.0.0.1: icmp_seq=1 ttl=64 time=0.1 ms\n"));
    QVERIFY(!NdNetworkTest::IsReachable("5 packets transmitted, 0 received\n"));
    QVERIFY(!NdNetworkTest::IsReachable(QByteArray("x\0 ttl=64", 9)));
    NdNetworkTest::SetPingProgram(QStringLiteral("/nonexistent/ping"));
    NdDownloader* window = OpenWindow();
    QTRY_VERIFY_WITH_TIMEOUT(Toast(window)->isVisible(), 10000);
    QCOMPARE(Toast(window)->text(), NdUiStr("NdDownloader.Offline"));
    QVERIFY(NdUiShoot(window, QStringLiteral("main-window-offline")));

    // Every try of one segment fails while the network is down.
    const QJsonObject unavailable{{"path", "/lessons/long/seg7.ts"}, {"first", 5}, {"status", 503}};
    QVERIFY(Platform.SetFaults(QJsonObject{{"rules", QJsonArray{unavailable}}}));
    window->onGetNewTask("nadioDownLoader-token-long");
    QTRY_COMPARE_WITH_TIMEOUT(NdStoredIn(Failed), 1, kTaskTimeoutMs);
    NdNetworkTest::SetPingProgram(QString());
    QTRY_VERIFY_WITH_TIMEOUT(!Toast(window)->isVisible(), 20000);
    QVERIFY(EndsWhole(NdStoredTasks().front(), "long"));
    QCOMPARE(PlatformRequests("/lessons/long/seg7.ts", ""), 6);
}

void TestNdDownloader::mandatoryUpdateShowsOnlyTheUpdateDialog()
{
    QVERIFY(Platform.SetVersion(R"({"code":0,"data":{"version":"9.9.9","msg":"must","download_url":")"
        + Platform.BaseUrl().toUtf8() + R"(/installer/NdDownloader.dmg","must_update":1}})"));
    bool mainWindowSeen = true;
    NdModalAnswerer updateDialogs("NdUpdateDlg", [&](QDialog* dialog) {
        mainWindowSeen = App.GetMainWindow() != nullptr;
        dialog->close();
    });
    QCOMPARE(App.Start(), 0);
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
