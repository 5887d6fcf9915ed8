#include "NdButton.h"
#include "NdDownloadTaskManager.h"
#include "NdLabel.h"
#include "NdLanguageHelper.h"
#include "NdRadiusTip.h"
#include "NdRadiusTipLabel.h"
#include "NdTaskItem.h"
#include "NdTestEnv.h"
#include "NdUiTestKit.h"

#include "NdCore/NdLogManager.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString Str(const char* key)
{
    return NdLanguageHelper::GetInstance()->Str(key);
}

// The parts of a row that the tests read, found by object name.
struct RowView
{
    explicit RowView(NdTaskItem* item)
    {
        const QList<NdLabel*> texts = item->findChildren<NdLabel*>(QStringLiteral("NdTaskItem_TextLabel"));
        size = texts.value(0);
        stateText = texts.value(1);
        stateIcon = item->findChild<NdLabel*>(QStringLiteral("NdTaskItem_StateImageLabel"));
        speed = item->findChild<NdLabel*>(QStringLiteral("NdTaskItem_NetWorkSpeedLabel"));
        name = item->findChild<NdRadiusTipLabel*>(QStringLiteral("NdTaskItem_FileNameLabel"));
        startPause = item->findChild<NdButton*>(QStringLiteral("NdTaskItem_StartPauseBtn"));
        folder = item->findChild<NdButton*>(QStringLiteral("NdTaskItem_FolderBtn"));
    }
    bool Complete() const { return size && stateText && stateIcon && speed && name && startPause && folder; }

    NdLabel* size = nullptr;
    NdLabel* stateText = nullptr;
    NdLabel* stateIcon = nullptr;
    NdLabel* speed = nullptr;
    NdRadiusTipLabel* name = nullptr;
    NdButton* startPause = nullptr;
    NdButton* folder = nullptr;
};

// A text whose width in the font is exactly `width` pixels, or empty.
QString TextOfWidth(const QFont& font, int width)
{
    const QFontMetrics metrics(font);
    for (int wide = 0; wide < 80; ++wide) {
        for (int narrow = 0; narrow < 40; ++narrow) {
            const QString text = QString(wide, QLatin1Char('a')) + QString(narrow, QLatin1Char('i'));
            if (metrics.horizontalAdvance(text) == width)
                return text;
        }
    }
    return QString();
}

} // namespace

class TestNdTaskItem : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void stateLook_data();
    void stateLook();
    void percentWithoutExpectedSize();
    void sizeTexts_data();
    void sizeTexts();
    void nameElision_data();
    void nameElision();
    void startOnWaitingTaskOnlyShowsHint();
    void pauseAndStartReachScheduler();
    void transcodingIgnoresClicks();
    void finishedTaskWithoutFileTurnsMissing();
    void folderButtonCreatesAndOpensFolder();
    void taskThreadReportsReachRow();

private:
    DownloadTaskParam_t Record(int state) const;

    NdReportCatcher m_reports;
    QTemporaryDir m_dir;
    NdUrlRecorder m_urls;
};

void TestNdTaskItem::initTestCase()
{
    NdUiTestInit();
    NdLogManager::Install();
    QVERIFY(m_reports.Start());
    QVERIFY(m_dir.isValid());
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &m_urls, "open");
}

void TestNdTaskItem::cleanupTestCase()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    NdLogManager::UnInstall();
}

DownloadTaskParam_t TestNdTaskItem::Record(int state) const
{
    DownloadTaskParam_t record;
    record.VideoM3U8Url = "https://cdn.test/lesson/index.m3u8";
    record.VideoName = "第一课 Lesson";
    record.VideoFileSize = 100.0f;
    record.VideoDownloadFileSize = 25.0f;
    record.VideoTranscodeFileSize = 98.5f;
    record.VideoTempPath = (m_dir.path() + QStringLiteral("/~NdTemp/1")).toStdString();
    record.VideoDownloadPath = m_dir.path().toStdString();
    record.VideoState = state;
    return record;
}

void TestNdTaskItem::stateLook_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("style");
    QTest::addColumn<QString>("buttonAfterUpdate");
    QTest::addColumn<QString>("buttonAfterReport");
    QTest::addColumn<bool>("buttonShown");

    QTest::newRow("0 wait") << 0 << Str("NdDownloader.LineUping") << "wait"
                            << "start"
                            << "pause" << true;
    QTest::newRow("1 paused") << 1 << Str("NdDownloader.Paused") << "pause"
                              << "start"
                              << "start" << true;
    QTest::newRow("2 downloading") << 2 << Str("NdDownloader.Downloading") << "downloading"
                                   << "pause"
                                   << "pause" << true;
    QTest::newRow("3 downloaded") << 3 << Str("NdDownloader.DownloadFinished") << "downloaded"
                                  << "start"
                                  << "start" << true;
    QTest::newRow("4 failed") << 4 << Str("NdDownloader.FailedAndRetry") << "fail"
                              << "start"
                              << "start" << true;
    QTest::newRow("5 transcoding") << 5 << Str("NdDownloader.Transcoding") << "transcoding"
                                   << "start"
                                   << "start" << false;
    QTest::newRow("6 finished") << 6 << Str("NdDownloader.DownloadFinished") << "downloaded"
                                << "start"
                                << "start" << false;
    QTest::newRow("7 no disk") << 7 << Str("NdDownloader.PauseByInsufficientStorageSpace") << "noDisk"
                               << "start"
                               << "start" << true;
    QTest::newRow("8 missing file") << 8 << Str("NdDownloader.MissFile") << "fail"
                                    << "start"
                                    << "start" << true;
    QTest::newRow("9 unknown") << 9 << QString() << QString() << "start"
                               << "start" << true;
}

void TestNdTaskItem::stateLook()
{
    QFETCH(int, state);
    QFETCH(QString, text);
    QFETCH(QString, style);
    QFETCH(QString, buttonAfterUpdate);
    QFETCH(QString, buttonAfterReport);
    QFETCH(bool, buttonShown);
    QVERIFY(!text.isEmpty() || state == 9);

    // A finished task keeps its look only while its file is there.
    QFile output(m_dir.path() + QStringLiteral("/第一课 Lesson.mp4"));
    QVERIFY(output.open(QIODevice::WriteOnly));
    output.close();

    NdTaskItem item(nullptr, Record(state));
    item.resize(1032, 48);
    item.show();
    RowView row(&item);
    QVERIFY(row.Complete());

    const bool downloading = state == Downloading;
    QCOMPARE(row.stateText->text(), downloading ? text + QStringLiteral("25%") : text);
    QCOMPARE(row.stateIcon->property("downloadState").toString(), style);
    QCOMPARE(row.startPause->property("state").toString(), buttonAfterUpdate);
    QCOMPARE(row.startPause->isVisible(), buttonShown);
    QCOMPARE(row.speed->text(), downloading ? QStringLiteral("0KB/S") : QString());
    // A finished task shows the size of its file, also once the file is gone.
    const bool finished = state == Finished || state == MissFile;
    QCOMPARE(row.size->text(), finished ? QStringLiteral("98.50MB") : QStringLiteral("25.00MB/100.00MB"));

    QSignalSpy showWindow(&item, &NdTaskItem::sigShowWindow);
    item.onRefreshDownloadResult(42.0f, 42, state, QStringLiteral("12KB/S"));
    QCOMPARE(row.stateText->text(), downloading ? text + QStringLiteral("42%") : text);
    QCOMPARE(row.stateIcon->property("downloadState").toString(), style);
    QCOMPARE(row.startPause->property("state").toString(), buttonAfterReport);
    QCOMPARE(row.startPause->isVisible(), buttonShown);
    QCOMPARE(row.speed->text(), downloading ? QStringLiteral("12KB/S") : QString());
    QCOMPARE(row.size->text(), state == Finished ? QStringLiteral("42.00MB") : QStringLiteral("42.00MB/100.00MB"));
    QCOMPARE(showWindow.count(), state == NoDisk ? 1 : 0);
    QCOMPARE(item.GetDownloadTaskParam().VideoState, state);
    QCOMPARE(item.GetDownloadTaskParam().VideoDownloadFileSize, 42.0f);

    QVERIFY(output.remove());
}

void TestNdTaskItem::percentWithoutExpectedSize()
{
    DownloadTaskParam_t record = Record(Downloading);
    record.VideoFileSize = 0.0f;
    record.VideoDownloadFileSize = 3.0f;
    NdTaskItem item(nullptr, record);
    RowView row(&item);
    const QString downloading = Str("NdDownloader.Downloading");
    QCOMPARE(row.stateText->text(), downloading + QStringLiteral("0%"));

    item.onRefreshDownloadResult(7.0f, 37, Downloading, QStringLiteral("1MB/S"));
    item.Update();
    QCOMPARE(row.stateText->text(), downloading + QStringLiteral("37%"));
    QCOMPARE(row.size->text(), QStringLiteral("7.00MB"));
}

void TestNdTaskItem::sizeTexts_data()
{
    QTest::addColumn<float>("done");
    QTest::addColumn<float>("total");
    QTest::addColumn<QString>("single");
    QTest::addColumn<QString>("pair");

    QTest::newRow("below a gigabyte") << 512.0f << 1023.99f << "1023.99MB"
                                      << "512.00MB/1023.99MB";
    QTest::newRow("one gigabyte") << 512.0f << 1024.0f << "1.00GB"
                                  << "0.50GB/1.00GB";
    QTest::newRow("total decides the unit") << 100.0f << 2048.0f << "2.00GB"
                                            << "0.10GB/2.00GB";
    QTest::newRow("nothing yet, size unknown") << 0.0f << 0.0f << "0.00MB"
                                               << "0.00MB";
    QTest::newRow("size unknown shows what arrived") << 1536.0f << 0.0f << "0.00MB"
                                                     << "1.50GB";
}

void TestNdTaskItem::sizeTexts()
{
    QFETCH(float, done);
    QFETCH(float, total);
    QFETCH(QString, single);
    QFETCH(QString, pair);
    QCOMPARE(NdTaskItem::GetSizeNumberStr(total), single);
    QCOMPARE(NdTaskItem::GetSizeNumberStr(done, total), pair);
}

void TestNdTaskItem::nameElision_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<bool>("ellipsis");
    QTest::newRow("219 pixels, whole") << 219 << false;
    QTest::newRow("220 pixels, fits the elision width") << 220 << false;
    QTest::newRow("221 pixels, elided") << 221 << true;
    QTest::newRow("300 pixels, elided") << 300 << true;
}

void TestNdTaskItem::nameElision()
{
    QFETCH(int, width);
    QFETCH(bool, ellipsis);
    NdTaskItem probe(nullptr, Record(Paused));
    const QFont font = RowView(&probe).name->font();
    const QString name = TextOfWidth(font, width);
    if (name.isEmpty())
        QSKIP("no text of that exact width in this font");

    DownloadTaskParam_t record = Record(Paused);
    record.VideoName = name.toStdString();
    NdTaskItem item(nullptr, record);
    const QString shown = RowView(&item).name->text();
    QCOMPARE(shown.endsWith(QChar(0x2026)), ellipsis);
    QCOMPARE(shown == name, !ellipsis);
    QVERIFY(QFontMetrics(font).horizontalAdvance(shown) <= 220);
    QCOMPARE(RowView(&item).name->GetTip()->findChild<NdLabel*>()->text(), name);
}

void TestNdTaskItem::startOnWaitingTaskOnlyShowsHint()
{
    NdTaskItem item(nullptr, Record(Wait));
    item.show();
    QSignalSpy toast(&item, &NdTaskItem::sigToastTip);
    int changes = 0;
    connect(&item, &NdTaskItem::sigChangeDownloadState, this, [&changes]() { ++changes; });

    QTest::mouseClick(RowView(&item).startPause, Qt::LeftButton);
    QCOMPARE(toast.count(), 1);
    QCOMPARE(toast.at(0).at(0).toString(), QStringLiteral("tip"));
    QCOMPARE(toast.at(0).at(1).toString(), Str("NdDownloader.MaxFileCount"));
    QCOMPARE(toast.at(0).at(2).toSize(), QSize(200, 38));
    QCOMPARE(changes, 0);
    QCOMPARE(item.GetDownloadTaskParam().VideoState, int(Wait));
}

void TestNdTaskItem::pauseAndStartReachScheduler()
{
    NdTaskItem item(nullptr, Record(Downloading));
    item.show();
    RowView row(&item);
    QList<DownloadTaskParam_t> changes;
    connect(&item, &NdTaskItem::sigChangeDownloadState, this,
        [&changes](const DownloadTaskParam_t& param) { changes << param; });
    const QString tail = QStringLiteral("&video_name=第一课 Lesson&msg=");

    QTest::mouseClick(row.startPause, Qt::LeftButton);
    QCOMPARE(changes.size(), 1);
    QCOMPARE(changes.at(0).VideoState, int(Paused));
    QCOMPARE(changes.at(0).VideoTempPath, Record(0).VideoTempPath);
    QCOMPARE(row.stateText->text(), Str("NdDownloader.Paused"));
    QCOMPARE(row.startPause->property("state").toString(), QStringLiteral("start"));

    QTest::mouseClick(row.startPause, Qt::LeftButton);
    QCOMPARE(changes.size(), 2);
    QCOMPARE(changes.at(1).VideoState, int(Wait));
    QCOMPARE(row.stateText->text(), Str("NdDownloader.LineUping"));

    // A task stopped for lack of space or failed starts again as well.
    for (int stopped : {int(NoDisk), int(Failed)}) {
        item.onRefreshDownloadResult(30.0f, 30, stopped, QString());
        QTest::mouseClick(row.startPause, Qt::LeftButton);
        QCOMPARE(changes.last().VideoState, int(Wait));
    }
    QCOMPARE(changes.size(), 4);

    QTRY_COMPARE(m_reports.CountEndingWith(tail + QStringLiteral("btn_stop_download")), 1);
    QTRY_COMPARE(m_reports.CountEndingWith(tail + QStringLiteral("btn_start_download")), 3);
    QCOMPARE(m_reports.Count(QStringLiteral("m3u8_url=https://cdn.test/lesson/index.m3u8") + tail
                 + QStringLiteral("btn_stop_download")),
        1);
    const QString log = NdTestLogText(NdTestDataDir());
    QCOMPARE(log.count(QStringLiteral("click btn_stop_download")), 1);
    QCOMPARE(log.count(QStringLiteral("click btn_start_download")), 3);
}

void TestNdTaskItem::transcodingIgnoresClicks()
{
    NdTaskItem item(nullptr, Record(Transcoding));
    QSignalSpy toast(&item, &NdTaskItem::sigToastTip);
    int changes = 0;
    connect(&item, &NdTaskItem::sigChangeDownloadState, this, [&changes]() { ++changes; });
    // The button is hidden while merging; a click that reaches it anyway is ignored.
    RowView(&item).startPause->click();
    QCOMPARE(changes, 0);
    QCOMPARE(toast.count(), 0);
    QCOMPARE(item.GetDownloadTaskParam().VideoState, int(Transcoding));
}

void TestNdTaskItem::finishedTaskWithoutFileTurnsMissing()
{
    QFile output(m_dir.path() + QStringLiteral("/第一课 Lesson.mp4"));
    QVERIFY(output.open(QIODevice::WriteOnly));
    output.close();
    NdTaskItem item(nullptr, Record(Finished));
    RowView row(&item);
    int changes = 0;
    connect(&item, &NdTaskItem::sigChangeDownloadState, this, [&changes]() { ++changes; });
    QCOMPARE(row.stateText->text(), Str("NdDownloader.DownloadFinished"));

    QVERIFY(output.remove());
    item.Update();
    QCOMPARE(row.stateText->text(), Str("NdDownloader.MissFile"));
    QCOMPARE(row.stateIcon->property("downloadState").toString(), QStringLiteral("fail"));
    QCOMPARE(item.GetDownloadTaskParam().VideoState, int(MissFile));
    QCOMPARE(row.size->text(), QStringLiteral("98.50MB"));

    // Start on a missing file does nothing but redraw.
    row.startPause->click();
    QCOMPARE(changes, 0);
    QCOMPARE(item.GetDownloadTaskParam().VideoState, int(MissFile));
}

void TestNdTaskItem::folderButtonCreatesAndOpensFolder()
{
    DownloadTaskParam_t record = Record(Paused);
    const QString folder = m_dir.path() + QStringLiteral("/moved away");
    record.VideoDownloadPath = folder.toStdString();
    NdTaskItem item(nullptr, record);
    item.show();
    m_urls.opened.clear();

    QTest::mouseClick(RowView(&item).folder, Qt::LeftButton);
    QVERIFY(QDir(folder).exists());
    QCOMPARE(m_urls.opened, QList<QUrl>{QUrl::fromLocalFile(folder)});

    QTest::mouseClick(RowView(&item).folder, Qt::LeftButton);
    QCOMPARE(m_urls.opened.size(), 2);
    QVERIFY(!RowView(&item).folder->underMouse());
}

void TestNdTaskItem::taskThreadReportsReachRow()
{
    NdTaskItem::RegisterWithEngine();
    DownloadTaskParam_t record = Record(Wait);
    // Nothing listens there: the playlist fetch fails at once.
    record.VideoM3U8Url = "https://127.0.0.1:1/lesson/index.m3u8";
    record.VideoDownloadFileSize = 0.0f;
    QVERIFY(QDir().mkpath(QString::fromStdString(record.VideoTempPath)));
    NdTaskItem item(nullptr, record);
    record.TaskItem = &item;

    NdDownloadTask task;
    task.DoWork(record);
    task.start();
    QTRY_COMPARE(RowView(&item).stateText->text(), Str("NdDownloader.FailedAndRetry"));
    QCOMPARE(item.GetDownloadTaskParam().VideoState, int(Failed));
    QVERIFY(task.wait(10000));
}

QTEST_MAIN(TestNdTaskItem)
#include "TestNdTaskItem.moc"
