#include "NdCore/NdDownloadTaskParam.h"

#include <QtTest>

class TestNdDownloadTaskParam : public QObject
{
    Q_OBJECT

private slots:
    void defaultRecordIsBlankWaitingTask();
    void copyKeepsEveryFieldIncludingTheRow();
    void anyIdentityFieldMakesRecordNonBlank_data();
    void anyIdentityFieldMakesRecordNonBlank();
    void stateTextsAndStyles_data();
    void stateTextsAndStyles();
};

void TestNdDownloadTaskParam::defaultRecordIsBlankWaitingTask()
{
    const DownloadTaskParam_t record;
    QVERIFY(record.IsBlank());
    QCOMPARE(record.VideoState, int(Wait));
    QCOMPARE(record.VideoFileSize, 0.0f);
    QCOMPARE(record.VideoDownloadFileSize, 0.0f);
    QCOMPARE(record.VideoTranscodeFileSize, 0.0f);
    QCOMPARE(record.VideoDuration, 0);
    QVERIFY(record.AppId.empty() && record.UserId.empty() && record.VideoM3U8Url.empty());
    QVERIFY(record.TaskItem == nullptr);
}

void TestNdDownloadTaskParam::copyKeepsEveryFieldIncludingTheRow()
{
    DownloadTaskParam_t record;
    record.AppId = "app";
    record.UserId = "user";
    record.VideoM3U8Url = "https://127.0.0.1/a/index.m3u8";
    record.VideoName = "第1课";
    record.VideoFileSize = 12.5f;
    record.VideoDownloadFileSize = 3.25f;
    record.VideoTranscodeFileSize = 13.1f;
    record.VideoDuration = 3600;
    record.VideoTempPath = "/tmp/x/~NdTemp/{1}";
    record.VideoDownloadPath = "/tmp/x";
    record.VideoState = Downloading;
    record.TaskItem = reinterpret_cast<NdTaskItem*>(&record);

    DownloadTaskParam_t assigned;
    assigned = record;
    for (const DownloadTaskParam_t& copy : {DownloadTaskParam_t(record), assigned}) {
        QCOMPARE(copy.AppId, record.AppId);
        QCOMPARE(copy.UserId, record.UserId);
        QCOMPARE(copy.VideoM3U8Url, record.VideoM3U8Url);
        QCOMPARE(copy.VideoName, record.VideoName);
        QCOMPARE(copy.VideoFileSize, record.VideoFileSize);
        QCOMPARE(copy.VideoDownloadFileSize, record.VideoDownloadFileSize);
        QCOMPARE(copy.VideoTranscodeFileSize, record.VideoTranscodeFileSize);
        QCOMPARE(copy.VideoDuration, record.VideoDuration);
        QCOMPARE(copy.VideoTempPath, record.VideoTempPath);
        QCOMPARE(copy.VideoDownloadPath, record.VideoDownloadPath);
        QCOMPARE(copy.VideoState, record.VideoState);
        QCOMPARE(copy.TaskItem, record.TaskItem);
    }
}

void TestNdDownloadTaskParam::anyIdentityFieldMakesRecordNonBlank_data()
{
    QTest::addColumn<int>("field");
    QTest::newRow("temp path") << 0;
    QTest::newRow("download path") << 1;
    QTest::newRow("name") << 2;
}

void TestNdDownloadTaskParam::anyIdentityFieldMakesRecordNonBlank()
{
    QFETCH(int, field);
    DownloadTaskParam_t record;
    record.VideoM3U8Url = "https://127.0.0.1/only-url.m3u8";
    QVERIFY(record.IsBlank());
    std::string* targets[] = {&record.VideoTempPath, &record.VideoDownloadPath, &record.VideoName};
    *targets[field] = "x";
    QVERIFY(!record.IsBlank());
}

void TestNdDownloadTaskParam::stateTextsAndStyles_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("textKey");
    QTest::addColumn<QString>("style");
    QTest::newRow("wait") << 0 << "NdDownloader.LineUping"
                          << "wait";
    QTest::newRow("paused") << 1 << "NdDownloader.Paused"
                            << "pause";
    QTest::newRow("downloading") << 2 << "NdDownloader.Downloading"
                                 << "downloading";
    QTest::newRow("downloaded") << 3 << "NdDownloader.DownloadFinished"
                                << "downloaded";
    QTest::newRow("failed") << 4 << "NdDownloader.FailedAndRetry"
                            << "fail";
    QTest::newRow("transcoding") << 5 << "NdDownloader.Transcoding"
                                 << "transcoding";
    QTest::newRow("finished shares downloaded") << 6 << "NdDownloader.DownloadFinished"
                                                << "downloaded";
    QTest::newRow("no disk") << 7 << "NdDownloader.PauseByInsufficientStorageSpace"
                             << "noDisk";
    QTest::newRow("miss file shares fail icon") << 8 << "NdDownloader.MissFile"
                                                << "fail";
    QTest::newRow("nine is unknown") << 9 << ""
                                     << "";
    QTest::newRow("negative is unknown") << -1 << ""
                                         << "";
}

void TestNdDownloadTaskParam::stateTextsAndStyles()
{
    QFETCH(int, state);
    QFETCH(QString, textKey);
    QFETCH(QString, style);
    QCOMPARE(QString::fromUtf8(NdDownloadStateTextKey(state)), textKey);
    QCOMPARE(QString::fromUtf8(NdDownloadStateStyle(state)), style);
}

QTEST_APPLESS_MAIN(TestNdDownloadTaskParam)
#include "TestNdDownloadTaskParam.moc"
