// The batch rules of the download task, and the scheduler's queue rules with
// tasks that never reach a server.
#include "NdDownloadTaskManager.h"
#include "NdEngineTestKit.h"
#include "NdTestEnv.h"

#include "NdCore/NdCacheManager.h"
#include "NdCore/NdDeploySettings.h"

#include <QSemaphore>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {
// Answers every request with a body whose length it never announces and closes
// the connection after it, so a client learns the total only at the end.
class NdUnsizedServer : public QTcpServer
{
public:
    QMap<QByteArray, QByteArray> Bodies; // by path

    NdUnsizedServer()
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = nextPendingConnection())
                Serve(socket);
        });
    }

    QString BaseUrl() const { return QStringLiteral("http://127.0.0.1:%1").arg(serverPort()); }

private:
    void Serve(QTcpSocket* socket)
    {
        auto received = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket, received] {
            *received += socket->readAll();
            if (!received->contains("\r\n\r\n"))
                return;
            const QByteArray path = received->split(' ').value(1);
            socket->write("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + Bodies.value(path));
            socket->disconnectFromHost();
        });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
};
} // namespace

class TestNdDownloadRules : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void speedText_data();
    void speedText();
    void diskCheckPath_data();
    void diskCheckPath();
    void resumeBatchStart_data();
    void resumeBatchStart();
    void batchPercent_data();
    void batchPercent();
    void diskTooFull_data();
    void diskTooFull();
    void downloadedMegabytes_data();
    void downloadedMegabytes();
    void unstartedSegmentThreadReportsFalse();

    void queueSkipsDuplicatesAndRecordsWithoutFolders();
    void stoppedStatesEndAtOnce();
    void pauseDropsWaitingTask();
    void removeDropsWaitingTask();
    void removeWaitsForRowConnect();
    void stopEndsLoopPromptly();
    void unsizedPlaylistCountsWhatArrived();

private:
    // A task whose playlist address refuses connections: it fails at once.
    DownloadTaskParam_t RefusedTask(int row);
    bool WaitEnded(const NdRowRecorder& rows, int row);

    QTemporaryDir m_downloads;
};

void TestNdDownloadRules::initTestCase()
{
    NdTestInitEnvironment();
    QVERIFY(m_downloads.isValid());
    // Reports of the failing tasks go nowhere, fast.
    NdDeploySettings settings = NdDeploySettings::Get();
    settings.ReportBaseUrl = QStringLiteral("http://127.0.0.1:1/");
    settings.TransferTimeoutMs = 3000;
    NdDeploySettings::Set(settings);
}

void TestNdDownloadRules::speedText_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<qint64>("ms");
    QTest::addColumn<QString>("text");
    QTest::newRow("kilobytes") << qint64(600000) << qint64(2000) << "292KB/S";
    QTest::newRow("bytes") << qint64(900) << qint64(1000) << "900B/S";
    QTest::newRow("megabytes") << qint64(5242880) << qint64(1000) << "5MB/S";
    QTest::newRow("1023 stays bytes") << qint64(1023) << qint64(1000) << "1023B/S";
    QTest::newRow("1024 is one KB") << qint64(1024) << qint64(1000) << "1KB/S";
    QTest::newRow("just below a MB") << qint64(1048575) << qint64(1000) << "1023KB/S";
    QTest::newRow("zero ms counts as one") << qint64(1024) << qint64(0) << "1000KB/S";
    QTest::newRow("nothing") << qint64(0) << qint64(300) << "0B/S";
}

void TestNdDownloadRules::speedText()
{
    QFETCH(qint64, bytes);
    QFETCH(qint64, ms);
    QFETCH(QString, text);
    QCOMPARE(NdSpeedText(bytes, ms), text);
}

void TestNdDownloadRules::diskCheckPath_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("measured");
    QTest::newRow("volume") << "/Volumes/Backup/Lessons"
                            << "/Volumes/Backup";
    QTest::newRow("short home") << "/Users/x"
                                << "/Users/x";
    QTest::newRow("slash at index 9") << "/Users/ab/c"
                                      << "/Users/ab";
    QTest::newRow("slash at index 8 only") << "/Volumes/"
                                           << "/Volumes/";
    QTest::newRow("deep home") << "/home/user/Downloads/x"
                               << "/home/user";
}

void TestNdDownloadRules::diskCheckPath()
{
    QFETCH(QString, folder);
    QFETCH(QString, measured);
    QCOMPARE(NdVolumeMountPath(folder), measured);
#ifdef Q_OS_MACOS
    QCOMPARE(NdDiskCheckPath(folder), measured);
#else
    // A disk mounted at /media/<user>/<label> must be measured itself, not the
    // system disk that holds /media/<user>.
    QCOMPARE(NdDiskCheckPath(folder), folder);
#endif
}

void TestNdDownloadRules::resumeBatchStart_data()
{
    QTest::addColumn<int>("files");
    QTest::addColumn<int>("start");
    QTest::newRow("23 files") << 23 << 18;
    QTest::newRow("3 files") << 3 << 0;
    QTest::newRow("5 files") << 5 << 0;
    QTest::newRow("6 files") << 6 << 1;
    QTest::newRow("none") << 0 << 0;
}

void TestNdDownloadRules::resumeBatchStart()
{
    QFETCH(int, files);
    QFETCH(int, start);
    QCOMPARE(NdResumeBatchStart(files), start);
}

void TestNdDownloadRules::batchPercent_data()
{
    QTest::addColumn<int>("next");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("percent");
    QTest::newRow("12: first batch") << 5 << 12 << 41;
    QTest::newRow("12: second batch") << 10 << 12 << 83;
    QTest::newRow("12: last batch passes the count") << 15 << 12 << 125;
    QTest::newRow("exact") << 10 << 10 << 100;
    QTest::newRow("no segments") << 5 << 0 << 0;
}

void TestNdDownloadRules::batchPercent()
{
    QFETCH(int, next);
    QFETCH(int, count);
    QFETCH(int, percent);
    QCOMPARE(NdBatchPercent(next, count), percent);
}

void TestNdDownloadRules::diskTooFull_data()
{
    const qint64 mb = 1024 * 1024;
    QTest::addColumn<qint64>("freeBytes");
    QTest::addColumn<float>("size");
    QTest::addColumn<float>("done");
    QTest::addColumn<bool>("full");
    QTest::newRow("300 MB for 100 missing") << 300 * mb << 150.0f << 50.0f << true;
    QTest::newRow("a byte more") << 300 * mb + 1 << 150.0f << 50.0f << false;
    QTest::newRow("unknown size, small margin") << qint64(kNdUnknownSizeFreeMarginMb) * mb << 0.0f << 3.0f << true;
    QTest::newRow("unknown size, enough") << qint64(kNdUnknownSizeFreeMarginMb + 1) * mb << 0.0f << 3.0f << false;
    QTest::newRow("not measurable") << qint64(-1) << 150.0f << 0.0f << false;
    QTest::newRow("nothing missing, disk empty") << qint64(0) << 10.0f << 10.0f << true;
}

void TestNdDownloadRules::diskTooFull()
{
    QFETCH(qint64, freeBytes);
    QFETCH(float, size);
    QFETCH(float, done);
    QFETCH(bool, full);
    QCOMPARE(NdDiskTooFull(freeBytes, size, done), full);
}

void TestNdDownloadRules::downloadedMegabytes_data()
{
    QTest::addColumn<double>("megabytes");
    QTest::addColumn<float>("size");
    QTest::addColumn<float>("shown");
    QTest::newRow("below the size") << 2.5 << 10.0f << 2.5f;
    QTest::newRow("capped at the size") << 12.0 << 10.0f << 10.0f;
    QTest::newRow("unknown size is not capped") << 12.0 << 0.0f << 12.0f;
    QTest::newRow("a completed batch is never 0") << 0.0 << 0.0f << float(1.0 / 1048576.0);
}

void TestNdDownloadRules::downloadedMegabytes()
{
    QFETCH(double, megabytes);
    QFETCH(float, size);
    QFETCH(float, shown);
    QCOMPARE(NdDownloadedMegabytes(megabytes, size), shown);
}

void TestNdDownloadRules::unstartedSegmentThreadReportsFalse()
{
    NdDownloadOneTsFile idle;
    QVERIFY(!idle.GetDownloadStatus());
    QVERIFY(!idle.isRunning());
    NdDownloadOneTsFile failing;
    failing.Download("http://127.0.0.1:1/seg1.ts", m_downloads.filePath("refused.ts").toStdString());
    failing.WaitForSegment();
    QVERIFY(!failing.GetDownloadStatus());
}

DownloadTaskParam_t TestNdDownloadRules::RefusedTask(int row)
{
    DownloadTaskParam_t task = NdMakeTask(m_downloads.path(), QStringLiteral("http://127.0.0.1:1/index.m3u8"),
        QStringLiteral("refused %1").arg(row), 1.0f, NdRowRecorder::RowKey(row));
    NdCacheManager::GetInstance()->SaveOneDownloadTask(task);
    return task;
}

bool TestNdDownloadRules::WaitEnded(const NdRowRecorder& rows, int row)
{
    return QTest::qWaitFor([&] { return rows.LastReport(NdRowRecorder::RowKey(row)).State == Failed; }, 10000);
}

void TestNdDownloadRules::queueSkipsDuplicatesAndRecordsWithoutFolders()
{
    NdRowRecorder rows;
    NdDownloadTaskManager scheduler;
    const DownloadTaskParam_t twice = RefusedTask(1);
    DownloadTaskParam_t noDownloadFolder = RefusedTask(2);
    noDownloadFolder.VideoDownloadPath.clear();
    DownloadTaskParam_t noWorkFolder = RefusedTask(3);
    noWorkFolder.VideoTempPath.clear();
    const DownloadTaskParam_t last = RefusedTask(4);
    scheduler.AddTask(twice);
    scheduler.AddTask(twice);
    scheduler.AddTask(noDownloadFolder);
    scheduler.AddTask(noWorkFolder);
    scheduler.AddTask(last);
    scheduler.start();

    QVERIFY(WaitEnded(rows, 1));
    QVERIFY(WaitEnded(rows, 4));
    QCOMPARE(rows.StartCount(NdRowRecorder::RowKey(1)), 1);
    QCOMPARE(rows.StartCount(NdRowRecorder::RowKey(2)), 0);
    QCOMPARE(rows.StartCount(NdRowRecorder::RowKey(3)), 0);
    // The refused playlist ends the task as failed, not as downloading.
    QCOMPARE(NdStoredTask(twice.VideoTempPath).VideoState, int(Failed));
    QCOMPARE(rows.LastReport(NdRowRecorder::RowKey(1)).Percent, 0);
    QTRY_VERIFY_WITH_TIMEOUT(rows.AllDisconnected(), 5000);
}

void TestNdDownloadRules::stoppedStatesEndAtOnce()
{
    NdRowRecorder rows;
    NdDownloadTaskManager scheduler;
    QList<DownloadTaskParam_t> stopped;
    const int states[] = {Failed, NoDisk, Paused, Downloaded, Finished, MissFile};
    for (int i = 0; i < 6; ++i) {
        DownloadTaskParam_t task = RefusedTask(10 + i);
        task.VideoState = states[i];
        NdCacheManager::GetInstance()->UpdateOneDownloadTask(task);
        scheduler.AddTask(task);
        stopped.append(task);
    }
    // Queued behind them, this one shows when the loop has passed them all.
    scheduler.AddTask(RefusedTask(20));
    scheduler.start();

    QVERIFY(WaitEnded(rows, 20));
    for (int i = 0; i < stopped.size(); ++i) {
        QCOMPARE(rows.StartCount(NdRowRecorder::RowKey(10 + i)), 0);
        QVERIFY(rows.Reports(NdRowRecorder::RowKey(10 + i)).isEmpty());
        QCOMPARE(NdStoredTask(stopped[i].VideoTempPath).VideoState, states[i]);
    }
}

void TestNdDownloadRules::pauseDropsWaitingTask()
{
    NdRowRecorder rows;
    NdDownloadTaskManager scheduler;
    DownloadTaskParam_t paused = RefusedTask(30);
    scheduler.AddTask(paused);
    paused.VideoState = Paused;
    scheduler.ChangeDownloadState(paused);
    // Start and pause in quick succession still queue it only once, at the end.
    DownloadTaskParam_t restarted = RefusedTask(31);
    restarted.VideoState = Wait;
    scheduler.ChangeDownloadState(restarted);
    scheduler.ChangeDownloadState(restarted);
    scheduler.start();

    QVERIFY(WaitEnded(rows, 31));
    QCOMPARE(rows.StartCount(NdRowRecorder::RowKey(30)), 0);
    QCOMPARE(rows.StartCount(NdRowRecorder::RowKey(31)), 1);
    QCOMPARE(NdStoredTask(paused.VideoTempPath).VideoState, int(Paused));
}

void TestNdDownloadRules::removeDropsWaitingTask()
{
    NdRowRecorder rows;
    NdDownloadTaskManager scheduler;
    const DownloadTaskParam_t removed = RefusedTask(40);
    scheduler.AddTask(removed);
    scheduler.AddTask(RefusedTask(41));
    scheduler.RemoveTask(removed);
    scheduler.start();

    QVERIFY(WaitEnded(rows, 41));
    QCOMPARE(rows.StartCount(NdRowRecorder::RowKey(40)), 0);
    QCOMPARE(NdStoredTask(removed.VideoTempPath).VideoState, int(Wait));
}

void TestNdDownloadRules::removeWaitsForRowConnect()
{
    QSemaphore connecting;
    QSemaphore mayReturn;
    NdDownloadTask::SetRowConnector([&](NdDownloadTask*, NdTaskItem*) {
        connecting.release();
        mayReturn.acquire();
        return QMetaObject::Connection();
    });
    // The playlist request waits on this server, never answered, until the removal
    // is done; a refused address could fail the task before the remover gets the lock.
    QTcpServer held;
    QVERIFY(held.listen(QHostAddress::LocalHost));
    const DownloadTaskParam_t task
        = NdMakeTask(m_downloads.path(), QStringLiteral("http://127.0.0.1:%1/index.m3u8").arg(held.serverPort()),
            QStringLiteral("held 60"), 1.0f, NdRowRecorder::RowKey(60));
    NdCacheManager::GetInstance()->SaveOneDownloadTask(task);
    std::unique_ptr<QThread> remover;
    {
        NdDownloadTaskManager scheduler;
        // Declared after the scheduler, so a failed check never leaves its task blocked.
        const std::shared_ptr<void> unblock(nullptr, [&](void*) {
            mayReturn.release(100);
            NdDownloadTask::SetRowConnector(nullptr);
        });
        scheduler.AddTask(task);
        scheduler.start();
        QVERIFY(connecting.tryAcquire(1, 10000));

        QSemaphore removing;
        remover.reset(QThread::create([&] {
            removing.release();
            scheduler.RemoveTask(task);
        }));
        remover->start();
        // On a loaded machine the remover may take a while to be scheduled at all;
        // only once it runs does the wait below show that RemoveTask is blocked.
        QVERIFY(removing.tryAcquire(1, 10000));
        // The row may be deleted once RemoveTask returns, so it waits for a connect under way.
        QVERIFY(!remover->wait(300));
        mayReturn.release();
        QVERIFY(remover->wait(10000));
        held.close();
    }
    // The failed playlist came after the deletion: nothing of it was stored.
    QCOMPARE(NdStoredTask(task.VideoTempPath).VideoState, int(Downloading));
}

void TestNdDownloadRules::stopEndsLoopPromptly()
{
    NdDownloadTaskManager scheduler;
    scheduler.start();
    QTRY_VERIFY(scheduler.isRunning());
    QElapsedTimer clock;
    clock.start();
    scheduler.stop();
    QVERIFY(scheduler.wait(2000));
    // Ten loop periods would do; the margin is for a loaded machine.
    QVERIFY(clock.elapsed() < 1000);
}

void TestNdDownloadRules::unsizedPlaylistCountsWhatArrived()
{
    NdUnsizedServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    const QByteArray playlist = "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1.0,\nseg1.ts\n#EXTINF:1.0,\nseg2.ts\n"
                                "#EXT-X-ENDLIST\n";
    server.Bodies.insert("/lesson/index.m3u8", playlist);
    server.Bodies.insert("/lesson/seg1.ts", QByteArray(1000, 'G'));
    server.Bodies.insert("/lesson/seg2.ts", QByteArray(1500, 'G'));

    NdRowRecorder rows;
    NdDownloadTaskManager scheduler;
    DownloadTaskParam_t task = NdMakeTask(m_downloads.path(), server.BaseUrl() + QStringLiteral("/lesson/index.m3u8"),
        QStringLiteral("unsized"), 0.0f, NdRowRecorder::RowKey(50));
    NdCacheManager::GetInstance()->SaveOneDownloadTask(task);
    scheduler.AddTask(task);
    scheduler.start();

    // The segments are no media, so the merge fails; the batch before it counts.
    QVERIFY(WaitEnded(rows, 50));
    const QList<NdRowReport_t> reports = rows.Reports(NdRowRecorder::RowKey(50));
    QCOMPARE(reports.size(), 3);
    QCOMPARE(reports[0].State, int(Downloaded));
    QCOMPARE(reports[0].Percent, 250);
    QCOMPARE(reports[0].Size, float((playlist.size() + 2500) / 1048576.0));
    QCOMPARE(reports[1].State, int(Transcoding));
    QCOMPARE(NdSegmentFileCount(task.VideoTempPath), 2);
}

QTEST_GUILESS_MAIN(TestNdDownloadRules)
#include "TestNdDownloadRules.moc"
