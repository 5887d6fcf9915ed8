// The program's widgets one by one, offscreen with its style sheet: the task
// rows and the names new videos get, the dialogs, and the kit under them, each
// window photographed into build/screenshots. The main window, and the dialogs
// it runs to close and to delete, are tried whole in TestNdDownloader.
#include "NdAboutDlg.h"
#include "NdButton.h"
#include "NdCloseDlg.h"
#include "NdQuestionBox.h"
#include "NdRadiusTip.h"
#include "NdRadiusTipLabel.h"
#include "NdSetDownloadPathDlg.h"
#include "NdTaskItem.h"
#include "NdTaskListView.h"
#include "NdTestEnv.h"
#include "NdTitleBar.h"
#include "NdUiTestKit.h"
#include "NdUpdateDlg.h"
#include "NdUpdateProgressDlg.h"

#include "NdCore/NdCacheManager.h"

#include <QLineEdit>
#include <QProgressBar>
#include <QStandardPaths>
#include <QtTest>

namespace {

const QByteArray kInstaller = QByteArray("NdDownloader installer 1.0.5\n").repeated(14000);

QString Text(QWidget* parent, const char* objectName, int index = 0)
{
    return NdChild<QLabel>(parent, objectName, index)->text();
}

QString DesktopVideoFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::DesktopLocation) + "/" + NdUiStr("NdDownloader.NdVideo");
}

NdSoftVersion_t Offer(const QString& version, bool mustUpdate, const QString& url)
{
    return {version.toStdString(), "修复了若干问题", url.toStdString(), mustUpdate};
}

void SendMouseMove(QWidget* widget, const QPoint& pos, Qt::MouseButtons buttons)
{
    QMouseEvent move(QEvent::MouseMove, pos, widget->mapToGlobal(pos), Qt::NoButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(widget, &move);
}

} // namespace

class TestNdWidgets : public NdUiTestCase
{
    Q_OBJECT

private slots:
    void initTestCase();

    void missingFileAndFullDisk();
    void startPauseButton();
    void timeLeftBesideTheSpeed();
    void longNameElidedAndWholeInItsTip();
    void newVideoNames_data();
    void newVideoNames();

    void freeSpace();
    void chooseFolder();
    void updateOffers();
    void installerDownload_data();
    void installerDownload();
    void keysInDialogs();

    void titleBarDragsAndMaximises();

private:
    DownloadTaskParam_t Record(int state) const;
    QString Url(const QString& path) const { return Server.BaseUrl() + path; }

    NdTestHttpServer Server{NdTestHttpServer::Tls};
    QStringList StartDirs;
    QString ChooserAnswer;
    QStringList HandedOver;
};

void TestNdWidgets::initTestCase()
{
    NdUiTestCase::initTestCase();
    NdSetDownloadPathDlg::SetDirectoryChooser([this](QWidget*, const QString& caption, const QString& startDir) {
        StartDirs << startDir;
        return caption == NdUiStr("NdDownloader.ChooseSaveFilePath") ? ChooserAnswer : QStringLiteral("/wrong");
    });
    // Slow enough for several progress reports: they come at most every 150 ms.
    for (const char* path : {"/dl/NadioLoader.dmg", "/dl/dropped.dmg", "/dl/stalled.dmg"}) {
        Server.Route(path, [](const NdTestRequest& request) {
            NdTestResponse response;
            response.Body = kInstaller;
            response.ChunkSize = 20000;
            response.ChunkDelayMs = 50;
            response.DropAfterBytes = request.Path.contains("dropped") ? kInstaller.size() / 2 : -1;
            response.StallAfterBytes = request.Path.contains("stalled") ? kInstaller.size() / 2 : -1;
            return response;
        });
    }
    QVERIFY(Server.Start());
    NdUpdateProgressDlg::SetInstallerHandOff([this](const QString& file) { HandedOver << file; });
}

DownloadTaskParam_t TestNdWidgets::Record(int state) const
{
    DownloadTaskParam_t record;
    record.VideoName = "第一课 Lesson";
    record.VideoFileSize = 2048.0f;
    record.VideoDownloadFileSize = 512.0f;
    record.VideoTranscodeFileSize = 1536.0f;
    record.VideoDownloadPath = Dir.path().toStdString();
    record.VideoState = state;
    return record;
}

// ---- the task rows and the names of new videos

// A finished video whose file went away shows as missing, and its folder
// button makes the folder again before it opens it; a task stopped for a full
// disk brings the window up.
void TestNdWidgets::missingFileAndFullDisk()
{
    DownloadTaskParam_t record = Record(Finished);
    record.VideoDownloadPath = Dir.filePath(QStringLiteral("moved away")).toStdString();
    NdTaskItem row(nullptr, record);
    QCOMPARE(Text(&row, "NdTaskItem_TextLabel", 1), NdUiStr("NdDownloader.MissFile"));
    QCOMPARE(Text(&row, "NdTaskItem_TextLabel"), QStringLiteral("1.50GB"));
    NdClickChild(&row, "NdTaskItem_FolderBtn");
    const QUrl folder = QUrl::fromLocalFile(QString::fromStdString(record.VideoDownloadPath));
    QCOMPARE(Urls.Opened, QList<QUrl>{folder});
    QVERIFY(QFileInfo(folder.toLocalFile()).isDir());
    QSignalSpy showWindow(&row, &NdTaskItem::sigShowWindow);
    row.onRefreshDownloadResult(1024.0f, 50, NoDisk, QString());
    QCOMPARE(Text(&row, "NdTaskItem_TextLabel", 1), NdUiStr("NdDownloader.PauseByInsufficientStorageSpace"));
    QCOMPARE(Text(&row, "NdTaskItem_TextLabel"), QStringLiteral("1.00GB/2.00GB"));
    QCOMPARE(showWindow.count(), 1);
}

// What a click asks of the scheduler, by the row's state. Five tasks at most
// run at once: a waiting one only says so. A merging row hides its button; a
// click that reaches it anyway is ignored, as on a missing file.
void TestNdWidgets::startPauseButton()
{
    const std::pair<int, int> stateAndAsked[]
        = {{Downloading, Paused}, {Paused, Wait}, {NoDisk, Wait}, {Wait, -1}, {Transcoding, -1}, {MissFile, -1}};
    for (const auto& [state, asked] : stateAndAsked) {
        NdTaskItem row(nullptr, Record(state));
        QList<int> changes;
        connect(&row, &NdTaskItem::sigChangeDownloadState, this, [&](const auto& task) { changes << task.VideoState; });
        QSignalSpy toasts(&row, &NdTaskItem::sigToastTip);
        NdClickChild(&row, "NdTaskItem_StartPauseBtn");
        QCOMPARE(changes, asked < 0 ? QList<int>() : QList<int>{asked});
        QCOMPARE(row.GetDownloadTaskParam().VideoState, asked < 0 ? state : asked);
        QCOMPARE(toasts.size(), state == Wait ? 1 : 0);
    }
}

// The time left reads in hours and minutes, minutes and seconds, or seconds,
// beside the speed; nothing without an estimate.
void TestNdWidgets::timeLeftBesideTheSpeed()
{
    const std::pair<qint64, QString> cases[]
        = {{-1, ""}, {0, "剩余 0秒"}, {59, "剩余 59秒"}, {192, "剩余 3分12秒"}, {3725, "剩余 1小时2分"}};
    for (const auto& [seconds, text] : cases)
        QCOMPARE(NdTaskItem::GetTimeLeftStr(seconds), text);
    NdTaskItem row(nullptr, Record(Downloading));
    row.resize(1032, 48);
    row.onRefreshDownloadResult(900.0f, 43, Downloading, QStringLiteral("1.20MB/S"));
    row.ShowTimeLeft(NdTaskItem::GetTimeLeftStr(192));
    QCOMPARE(Text(&row, "NdTaskItem_NetWorkSpeedLabel"), QStringLiteral("1.20MB/S  剩余 3分12秒"));
    QVERIFY(NdUiShoot(&row, QStringLiteral("row-time-left")));
}

// A long name is elided, its tip shows it whole. A press inside the tip keeps
// it, one elsewhere closes it; closed, or merely hidden as when the mouse
// leaves the name, it no longer watches the presses.
void TestNdWidgets::longNameElidedAndWholeInItsTip()
{
    DownloadTaskParam_t record = Record(Paused);
    record.VideoName = "第三单元 函数与图像（上）课堂实录与习题讲解完整版";
    NdTaskItem row(nullptr, record);
    row.show();
    auto* name = row.findChild<NdRadiusTipLabel*>();
    QVERIFY(name->text().endsWith(QChar(0x2026)) && QFontMetrics(name->font()).horizontalAdvance(name->text()) <= 220);
    QEvent enter(QEvent::Enter);
    QApplication::sendEvent(name, &enter);
    NdRadiusTip* tip = name->GetTip();
    QLabel* tipText = tip->findChild<QLabel*>();
    QCOMPARE(tipText->text(), QString::fromStdString(record.VideoName));
    QVERIFY(tip->width() > QFontMetrics(tipText->font()).horizontalAdvance(tipText->text()) && tip->height() < 100);
    QVERIFY(NdUiShoot(tip, QStringLiteral("row_name_tip")));
    QSignalSpy presses(tip, &NdRadiusArrowBubble::sigClicked);
    QTest::mousePress(tip, Qt::LeftButton, Qt::NoModifier, QPoint(20, 20));
    QVERIFY(tip->isVisible());
    QTest::mousePress(&row, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    QVERIFY(tip->isHidden());
    QTest::mousePress(&row, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    QApplication::sendEvent(name, &enter);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(name, &leave);
    QTest::mousePress(&row, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    QCOMPARE(presses.count(), 2);
    QVERIFY(tip->isHidden());
}

void TestNdWidgets::newVideoNames_data()
{
    QTest::addColumn<QByteArray>("received"); // as the server sent it, UTF-8
    QTest::addColumn<QStringList>("files");   // .mp4 files already in the folder
    QTest::addColumn<QStringList>("listed");  // tasks of the folder, or "name@folder" of another
    QTest::addColumn<QString>("expected");
    const QString cjk = QString(100, QChar(0x8BFE)); // 300 bytes of UTF-8
    const QString cut = cjk.left(81);                // what fits with "(n).mp4"
    QTest::newRow("a gap is used") << QByteArray("Lesson") << QStringList{"Lesson", "Lesson(2)"} << QStringList()
                                   << "Lesson(1)";
    QTest::newRow("listed, whatever its address")
        << QByteArray("Lesson") << QStringList() << QStringList{"Lesson"} << "Lesson(1)";
    QTest::newRow("listed in another folder")
        << QByteArray("Lesson") << QStringList() << QStringList{"Lesson@/elsewhere"} << "Lesson";
    QTest::newRow("file, then listed") << QByteArray("Lesson") << QStringList{"Lesson"} << QStringList{"Lesson(1)"}
                                       << "Lesson(2)";
    QTest::newRow("listed, then file") << QByteArray("Lesson") << QStringList{"Lesson(1)"} << QStringList{"Lesson"}
                                       << "Lesson(2)";
    QTest::newRow("newline, NUL and tab")
        << QByteArray("Les\nson\0\t 2", 11) << QStringList() << QStringList() << "Les son  2";
    QTest::newRow("spaces and dots around")
        << QByteArray(" .. Lesson 3. ") << QStringList() << QStringList() << "Lesson 3";
    QTest::newRow("only dots") << QByteArray("...") << QStringList() << QStringList()
                               << NdUiStr("NdDownloader.NdVideo");
    QTest::newRow("a slash") << QByteArray("a/../b") << QStringList() << QStringList() << "a_.._b";
    QTest::newRow("100 CJK characters, taken")
        << cjk.toUtf8() << QStringList{cut} << QStringList() << cut + QStringLiteral("(1)");
}

// Settled once, when the task is made: valid on any Linux disk, with room for
// "(n).mp4" in 255 bytes, and free among the folder's files and its tasks.
void TestNdWidgets::newVideoNames()
{
    QFETCH(QByteArray, received);
    QFETCH(QStringList, files);
    QFETCH(QStringList, listed);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    for (const QString& name : files)
        QVERIFY(QFile(dir.filePath(name + QStringLiteral(".mp4"))).open(QIODevice::WriteOnly));
    std::vector<DownloadTaskParam_t> records;
    for (const QString& entry : listed) {
        records.emplace_back();
        records.back().VideoName = entry.section(QLatin1Char('@'), 0, 0).toStdString();
        records.back().VideoDownloadPath = (entry.contains('@') ? entry.section('@', 1) : dir.path()).toStdString();
    }
    const std::string settled = NdTaskListView::SettleVideoName(received.toStdString(), dir.path(), records);
    QCOMPARE(QString::fromStdString(settled), expected);
    QVERIFY(QByteArray::fromStdString(settled).size() + int(strlen("(1).mp4")) <= 255);
}

// ---- the dialogs

// Three times the videos' size must be free: the segments, the merged file
// and room to spare. An unknown free space blocks nothing.
void TestNdWidgets::freeSpace()
{
    const std::tuple<const char*, qint64, QString> cases[]
        = {{"no_space", 4607999999, "4.61GB"}, {"just_enough", 4608000000, "4.61GB"}, {"unknown", -1, QString()}};
    for (const auto& [name, freeBytes, shown] : cases) {
        NdSetDownloadPathDlg::SetFreeBytesQuery([freeBytes = freeBytes](const QString&) { return freeBytes; });
        NdSetDownloadPathDlg dialog;
        dialog.resize(480, 272);
        dialog.SetDownloadFilesInfo(QStringLiteral("第三单元 函数与图像（上）课堂实录与习题讲解"), 3, 1536.0f, 512.0f);
        QVERIFY(NdUiShoot(&dialog, QStringLiteral("dialog_download_path_") + name));
        QCOMPARE(NdChild(&dialog, "NdCloseDlg_OkBtn")->isEnabled(), freeBytes != 4607999999);
        QCOMPARE(NdChild(&dialog, "NdSetDownloadPathDlg_NoFreeDiskSizeLabel")->isVisible(), freeBytes == 4607999999);
        QCOMPARE(Text(&dialog, "NdCloseDlg_DownloadingLabel", 2),
            shown.isEmpty() ? QString() : NdUiStr("NdDownloader.Sheng").arg(shown));
    }
}

// The last folder is proposed, made again if it went away, or the desktop's
// video folder when there is none or it cannot be used; its free space is the
// disk's, a folder not made yet measured on its parent. The chooser starts at
// the last folder; system folders and folders nobody may write are refused;
// OK keeps the chosen one for the next time.
void TestNdWidgets::chooseFolder()
{
    NdSetDownloadPathDlg::SetFreeBytesQuery(nullptr);
    const QString gone = Dir.filePath(QStringLiteral("gone/deeper"));
    for (const QString& last : {gone, QStringLiteral("/proc/nd-gone/videos"), QStringLiteral("/proc/sys/kernel")}) {
        NdCacheManager::GetInstance()->SetLastDownloadPath(last.toStdString());
        NdSetDownloadPathDlg dialog;
        QCOMPARE(dialog.GetDir(), last == gone ? gone : DesktopVideoFolder());
        QVERIFY(Text(&dialog, "NdCloseDlg_DownloadingLabel", 2)
                    .contains(QRegularExpression(QStringLiteral("\\d\\.\\d\\d[KMG]?B"))));
    }
    QVERIFY(QFileInfo(gone).isDir() && !QFileInfo::exists(DesktopVideoFolder()));

    NdCacheManager::GetInstance()->SetLastDownloadPath(std::string());
    NdSetDownloadPathDlg first;
    NdButton* browse = NdChild<NdButton>(&first, "NdCloseDlg_CancleBtn"); // the first grey button
    ChooserAnswer.clear();
    browse->click(); // the chooser cancelled: nothing changes
    QCOMPARE(first.GetDir(), DesktopVideoFolder());
    for (const QString& refused : {QStringLiteral("/"), QStringLiteral("/usr"),
             Dir.filePath(QStringLiteral("not-there")), QStringLiteral("/proc/sys/kernel")}) {
        ChooserAnswer = refused;
        browse->click();
        QVERIFY2(!NdChild(&first, "NdCloseDlg_OkBtn")->isEnabled(), qPrintable(refused));
        QCOMPARE(NdChild<QLineEdit>(&first, "NdCloseDlg_LineEdit")->toolTip(), NdUiStr("NdDownloader.NoWrite"));
    }
    ChooserAnswer = Dir.path();
    QTimer::singleShot(0, &first, [&]() {
        browse->click();
        NdClickChild(&first, "NdCloseDlg_OkBtn");
    });
    QCOMPARE(first.DoModal(), 1);
    NdSetDownloadPathDlg next;
    QCOMPARE(next.GetDir(), Dir.path());
    QTimer::singleShot(0, &next, [&]() {
        NdChild<NdButton>(&next, "NdCloseDlg_CancleBtn")->click();
        NdChild<NdButton>(&next, "NdCloseDlg_CancleBtn", 1)->click();
    });
    QCOMPARE(next.DoModal(), 0);
    QCOMPARE(StartDirs.first(), QStringLiteral("./"));
    QCOMPARE(StartDirs.last(), Dir.path());
}

// The buttons each answer shows; the server's texts show as written, never rendered.
void TestNdWidgets::updateOffers()
{
    const std::tuple<const char*, NdSoftVersion_t, QString> cases[]
        = {{"new", Offer("1.0.5", false, Url("/dl/stalled.dmg")), "later update close"},
            {"mandatory", Offer("2.0.0", true, Url("/dl/stalled.dmg")), "update"},
            {"latest", Offer("1.0.4", false, QString()), "ok close"}};
    for (const auto& [name, offer, buttons] : cases) {
        NdUpdateDlg dialog(nullptr, offer);
        dialog.show();
        const QList<QPair<QString, NdButton*>> named{{"later", NdChild<NdButton>(&dialog, "NdUpdateDlg_NextTimeBtn")},
            {"update", NdChild<NdButton>(&dialog, "NdUpdateDlg_UpdateBtn", 0)},
            {"update", NdChild<NdButton>(&dialog, "NdUpdateDlg_UpdateBtn", 1)},
            {"ok", NdChild<NdButton>(&dialog, "NdUpdateDlg_UpdateBtn", 2)},
            {"close", dialog.GetTitleBar()->GetBtn(NdTitleBar::CloseBtn)}};
        QStringList visible;
        for (const auto& button : named)
            visible << (button.second->isVisible() ? button.first : QString());
        QCOMPARE(visible.join(' ').simplified(), buttons);
        for (const char* label : {"NdUpdateDlg_NewVersionLabel", "NdUpdateDlg_UpdateTextLabel"})
            QCOMPARE(NdChild<QLabel>(&dialog, label)->textFormat(), Qt::PlainText);
        QVERIFY(NdUiShoot(&dialog, QStringLiteral("dialog_update_") + name));
    }
}

void TestNdWidgets::installerDownload_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QByteArray>("existing"); // a file under the address's name before, unless empty
    QTest::newRow("complete") << Url("/dl/NadioLoader.dmg") << QByteArray();
    QTest::newRow("complete beside an older one") << Url("/dl/NadioLoader.dmg") << QByteArray("older");
    QTest::newRow("dropped halfway") << Url("/dl/dropped.dmg") << QByteArray("older");
    QTest::newRow("not found") << Url("/dl/missing.dmg") << QByteArray();
    QTest::newRow("plain http") << Url("/dl/NadioLoader.dmg").replace("https:", "http:") << QByteArray();
    QTest::newRow("closed while downloading") << Url("/dl/stalled.dmg") << QByteArray();
}

// A mandatory update offers no way out while it downloads. A complete
// installer, in a new file of its own, is handed over; after a failure the
// user may leave. The partial file of a failed or closed download is gone; a
// file that was there before is neither cut nor removed. Plain http is refused
// before any file or request.
void TestNdWidgets::installerDownload()
{
    QFETCH(QString, url);
    QFETCH(QByteArray, existing);
    HandedOver.clear();
    const QString older
        = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation) + "/" + url.section('/', -1);
    QVERIFY(existing.isEmpty() || (QDir().mkpath(QFileInfo(older).path()) && NdWriteFile(older, existing)));
    auto dialog = std::make_unique<NdUpdateProgressDlg>(nullptr, Offer("1.0.5", true, url));
    dialog->resize(480, 206);
    QSignalSpy progress(dialog->findChild<QProgressBar*>(), &QProgressBar::valueChanged);
    dialog->show();
    const QString file = dialog->InstallerFilePath();
    NdButton* close = dialog->GetTitleBar()->GetBtn(NdTitleBar::CloseBtn);
    const bool plain = url.startsWith(QLatin1String("http:"));
    QCOMPARE(close->isVisible(), plain);
    QCOMPARE(file.isEmpty(), plain);
    if (url.contains(QLatin1String("stalled"))) {
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(file) && !progress.isEmpty(), 10000);
        dialog.reset();
        QVERIFY(!QFile::exists(file));
        // Whatever the aborted request left queued runs without the dialog.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    }
    QTRY_VERIFY_WITH_TIMEOUT(!dialog || !HandedOver.isEmpty() || close->isVisible(), 15000);
    QVERIFY(existing.isEmpty() || (NdReadFile(older) == existing && QFile::remove(older)));
    if (!HandedOver.isEmpty()) {
        QVERIFY(NdUiShoot(dialog.get(), QStringLiteral("dialog_update_progress")));
        QCOMPARE(HandedOver, QStringList{file});
        QCOMPARE(QFileInfo(file).fileName(), existing.isEmpty() ? "NadioLoader.dmg" : "NadioLoader(1).dmg");
        QFile installer(file);
        QVERIFY(installer.open(QIODevice::ReadOnly) && installer.readAll() == kInstaller && installer.remove());
        QVERIFY(std::any_of(progress.begin(), progress.end(),
            [](const QList<QVariant>& change) { return change.at(0).toInt() > 0 && change.at(0).toInt() < 100; }));
        return;
    }
    QVERIFY(!QFileInfo::exists(file) && (plain || !url.contains(QLatin1String("NadioLoader"))));
}

// Return does what the blue button does and Escape what cancel or the close
// cross does, sent where the keyboard's focus is. A disabled OK ignores Return
// and a dialog that shows no way out ignores Escape. "Update" ends its dialog
// and runs the download's dialog, modally.
void TestNdWidgets::keysInDialogs()
{
    const auto folder = [](qint64 freeBytes) {
        return [freeBytes]() -> NdDialog* {
            NdSetDownloadPathDlg::SetFreeBytesQuery([freeBytes](const QString&) { return freeBytes; });
            auto* dialog = new NdSetDownloadPathDlg;
            dialog->SetDownloadFilesInfo(QStringLiteral("第一课"), 1, 1536.0f, 512.0f);
            return dialog;
        };
    };
    const auto update = [this](const char* version, bool mustUpdate) {
        return [=]() -> NdDialog* { return new NdUpdateDlg(nullptr, Offer(version, mustUpdate, Url("/dl/x.dmg"))); };
    };
    const std::tuple<const char*, std::function<NdDialog*()>, Qt::Key, QString> cases[] = {
        {"close, Return", [] { return new NdCloseDlg(nullptr); }, Qt::Key_Return, "NdCloseDlg_OkBtn"},
        {"close, Escape", [] { return new NdCloseDlg(nullptr); }, Qt::Key_Escape, "NdCloseDlg_CancleBtn"},
        {"delete, Enter", [] { return new NdQuestionBox(nullptr, "?", 400, 200); }, Qt::Key_Enter,
            "NdQuestionBox_OkBtn"},
        {"delete, Escape", [] { return new NdQuestionBox(nullptr, "?", 400, 200); }, Qt::Key_Escape,
            "NdQuestionBox_CancleBtn"},
        {"folder, Return", folder(-1), Qt::Key_Return, "NdCloseDlg_OkBtn"},
        {"folder without room, Return", folder(1), Qt::Key_Return, ""},
        {"update, Escape", update("1.0.5", false), Qt::Key_Escape, "NdUpdateDlg_NextTimeBtn"},
        {"latest, Escape", update("1.0.4", false), Qt::Key_Escape, "NdDownloaderPopDlg_CloseBtn"},
        {"mandatory update, Escape", update("2.0.0", true), Qt::Key_Escape, ""},
        {"mandatory update, Return", update("2.0.0", true), Qt::Key_Return, "NdUpdateDlg_UpdateBtn"},
        {"about, Escape", [] { return new NdAboutDlg; }, Qt::Key_Escape, "NdDownloaderPopDlg_CloseBtn"},
    };
    for (const auto& [name, make, key, expected] : cases) {
        std::unique_ptr<NdDialog> dialog(make());
        NdModalAnswerer progress("NdUpdateProgressDlg", [](QDialog* running) { running->reject(); });
        QStringList clicked;
        for (QAbstractButton* button : dialog->findChildren<QAbstractButton*>())
            connect(button, &QAbstractButton::clicked, dialog.get(),
                [&clicked, button]() { clicked << button->objectName(); });
        dialog->show();
        QVERIFY(QTest::qWaitForWindowActive(dialog.get()));
        QVERIFY2(QApplication::focusWidget() && QApplication::focusWidget()->window() == dialog.get(), name);
        QTest::keyClick(QApplication::focusWidget(), key);
        QCOMPARE(clicked.join(' '), expected);
        QCOMPARE(dialog->isVisible(), expected.isEmpty());
        QCOMPARE(progress.Count(), expected == "NdUpdateDlg_UpdateBtn" ? 1 : 0);
    }
}

// ---- the kit

// Dragging the title bar moves the window; a double click maximises it and
// swaps maximise for restore, another restores it.
void TestNdWidgets::titleBarDragsAndMaximises()
{
    QWidget window;
    window.setGeometry(100, 100, 400, 300);
    NdTitleBar* bar = new NdTitleBar(&window, false, true, true);
    bar->setGeometry(0, 0, 400, 40);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QPoint start = window.pos();
    QTest::mousePress(bar, Qt::LeftButton, Qt::NoModifier, QPoint(50, 20));
    SendMouseMove(bar, QPoint(80, 60), Qt::LeftButton);
    QTest::mouseRelease(bar, Qt::LeftButton, Qt::NoModifier, QPoint(80, 60));
    SendMouseMove(bar, QPoint(10, 10), Qt::NoButton); // after the release nothing drags
    QCOMPARE(window.pos(), start + QPoint(30, 40));
    QTest::mouseDClick(bar, Qt::LeftButton, Qt::NoModifier, QPoint(100, 20));
    QVERIFY(window.isMaximized());
    QTRY_VERIFY(bar->GetBtn(NdTitleBar::NormalBtn)->isVisible() && !bar->GetBtn(NdTitleBar::MaximizeBtn)->isVisible());
    QTest::mouseDClick(bar, Qt::LeftButton, Qt::NoModifier, QPoint(100, 20));
    QVERIFY(!window.isMaximized());
    QTRY_VERIFY(!bar->GetBtn(NdTitleBar::NormalBtn)->isVisible() && bar->GetBtn(NdTitleBar::MaximizeBtn)->isVisible());
}

QTEST_MAIN(TestNdWidgets)
#include "TestNdWidgets.moc"
