// The download engine: whole downloads against the sample platform through the
// scheduler, the task and segment threads, the real backend, the HTTP client
// and ffmpeg.
#include "INdDownloaderBackEnd.h"
#include "NdDownloadTaskManager.h"
#include "NdEngineTestKit.h"

#include "NdCore/NdCacheManager.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QScopeGuard>
#include <QSemaphore>
#include <QSet>
#include <QTcpServer>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using NdDownloaderInterface::INdDownloaderBackEnd;

class TestNdDownloadEngine : public NdPlatformTestCase
{
    Q_OBJECT
private slots:
    void speedText();
    void removeWaitsForRowConnect();
    void lessonsEndAsMp4();
    void retryAfterAndAPauseDuringTheWait();
    void diskCheckStopsTask();
    void workersEndWithTheirTask();
    void waitingForTheConverterShowsTranscoding();
};

void TestNdDownloadEngine::speedText()
{
    // Bytes in so many milliseconds; no time at all counts as one millisecond.
    const std::tuple<qint64, qint64, QString> cases[] = {{0, 300, "0B/S"}, {1023, 1000, "1023B/S"},
        {1024, 1000, "1KB/S"}, {1048575, 1000, "1023KB/S"}, {5242880, 1000, "5MB/S"}, {1024, 0, "1000KB/S"}};
    for (const auto& [bytes, ms, text] : cases)
        QCOMPARE(NdSpeedText(bytes, ms), text);
    // Figures after five segments, or after a second with at least one.
    const std::tuple<int, qint64, bool> due[] = {{5, 10, true}, {4, 999, false}, {1, 1000, true}, {0, 5000, false}};
    for (const auto& [ended, ms, expected] : due)
        QCOMPARE(NdFiguresDue(ended, ms), expected);
}

void TestNdDownloadEngine::removeWaitsForRowConnect()
{
    QSemaphore connecting, mayReturn;
    NdDownloadTask::SetRowConnector([&](NdDownloadTask*, const DownloadTaskParam_t&) {
        connecting.release();
        mayReturn.acquire();
        return NdRowConnections();
    });
    // The playlist request waits on this server, never answered, until the removal
    // is done; a refused address could fail the task before the remover gets the lock.
    QTcpServer held;
    QVERIFY(held.listen(QHostAddress::LocalHost));
    const DownloadTaskParam_t task
        = NdMakeTask(Downloads->path(), QStringLiteral("http://127.0.0.1:%1/index.m3u8").arg(held.serverPort()),
            QStringLiteral("held"), 1.0f, NdRowRecorder::RowKey(0));
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
        // Only once the remover runs does the wait below show that RemoveTask is blocked.
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

// Six lessons in every playlist form each end as a whole .mp4 under its name; a
// task queued as finished fetches nothing.
void TestNdDownloadEngine::lessonsEndAsMp4()
{
    const QStringList lessons
        = {"long", "plain", "redirect/plain2", "crlf/nolf/mixed/plain3", "crlf/redirect/mixed/aes", "master"};
    NdRowRecorder rows;
    NdDownloadTaskManager scheduler;
    scheduler.AddTask(StoredLessonTask(QStringLiteral("many"), lessons.size(), Finished));
    QList<DownloadTaskParam_t> tasks;
    for (int i = 0; i < lessons.size(); ++i)
        tasks.append(Queue(scheduler, LessonTask(lessons[i], i)));
    scheduler.start();
    for (int i = 0; i < tasks.size(); ++i) {
        QVERIFY2(NdWaitStoredState(tasks[i].VideoTempPath, Finished, kTaskTimeoutMs), qPrintable(lessons[i]));
        const QString output = NdOutputPath(tasks[i]);
        const bool master = lessons[i].endsWith(QLatin1String("master"));
        const NdMediaInfo_t media = NdProbe(output);
        QVERIFY2(qAbs(media.Duration - SourceDuration(master ? "master/v320x240" : lessons[i].section('/', -1))) <= 0.5,
            qPrintable(output));
        QCOMPARE(media.Codecs, QStringList({"h264", "aac"}));
        // Of the master playlist's variants, the one with the highest bandwidth.
        QVERIFY(!master || media.Resolution == QLatin1String("320x240"));
        QVERIFY(!QFileInfo::exists(QString::fromStdString(tasks[i].VideoTempPath)));
        const DownloadTaskParam_t stored = NdStoredTask(tasks[i].VideoTempPath);
        QVERIFY(qAbs(stored.VideoTranscodeFileSize - QFileInfo(output).size() / 1e6) < 1e-4);
        QTRY_COMPARE(ReportCount(tasks[i], "download_success"), 1);
        // One report per batch of five, then the merge, then the end with the video's size.
        QTRY_COMPARE(rows.LastReport(NdRowRecorder::RowKey(i)).Size, stored.VideoTranscodeFileSize);
        const QList<int> states = rows.States(NdRowRecorder::RowKey(i));
        QCOMPARE(states.mid(states.size() - 3), QList<int>({Downloaded, Transcoding, Finished}));
        QCOMPARE(states.first(), int(Downloading));
        QCOMPARE(states.count(Downloading), states.size() - 3);
    }
    // The long lesson's twelve segments came over no more connections than a batch has places.
    QSet<int> connections;
    for (const QJsonValue& request : Platform.Requests()) {
        if (request.toObject().value("path").toString().startsWith(QLatin1String("/lessons/long/seg")))
            connections.insert(request.toObject().value("connection").toInt());
    }
    QCOMPARE(PlatformRequests(QStringLiteral("/lessons/long/"), ".ts"), 12);
    QVERIFY2(connections.size() <= kNdSegmentsInFlight, qPrintable(QString::number(connections.size())));
    QTRY_VERIFY(rows.AllDisconnected());
    // Nothing waits for their slots, yet the ended tasks' objects are released.
    QTRY_COMPARE(rows.DestroyedTasks(), lessons.size());
    QCOMPARE(rows.StartCount(NdRowRecorder::RowKey(lessons.size())) + PlatformRequests("/lessons/many/", ""), 0);
}

// The server's Retry-After is waited for; a pause during such a wait takes
// effect at once, and the row never showed the task as failed meanwhile.
void TestNdDownloadEngine::retryAfterAndAPauseDuringTheWait()
{
    const auto rule = [](const char* path, const char* retryAfter) {
        return QJsonObject{{"path", path}, {"first", 1}, {"status", 503}, {"retryAfter", retryAfter}};
    };
    QVERIFY(Platform.SetFaults(
        QJsonObject{{"rules", QJsonArray{rule("/lessons/long/seg7.ts", "2"), rule("/lessons/plain2/seg2.ts", "30")}}}));
    NdRowRecorder rows;
    NdDownloadTaskManager scheduler;
    const DownloadTaskParam_t waited = Queue(scheduler, LessonTask(QStringLiteral("long"), 0));
    DownloadTaskParam_t paused = Queue(scheduler, LessonTask(QStringLiteral("plain2"), 1));
    scheduler.start();
    QElapsedTimer clock;
    clock.start();
    QList<qint64> asked; // when seg7 of "long" was asked for
    QVERIFY(QTest::qWaitFor(
        [&] {
            if (PlatformRequests("/lessons/long/seg7.ts", "") > asked.size())
                asked << clock.elapsed();
            return asked.size() == 2;
        },
        kTaskTimeoutMs));
    QVERIFY2(asked[1] - asked[0] >= 1900, qPrintable(QString::number(asked[1] - asked[0])));
    QVERIFY(NdWaitStoredState(waited.VideoTempPath, Finished, kTaskTimeoutMs));
    QVERIFY(!rows.States(NdRowRecorder::RowKey(0)).contains(Failed));

    QTRY_COMPARE_WITH_TIMEOUT(PlatformRequests("/lessons/plain2/seg2.ts", ""), 1, kTaskTimeoutMs);
    paused.VideoState = Paused;
    scheduler.ChangeDownloadState(paused);
    QTRY_COMPARE_WITH_TIMEOUT(rows.LastReport(NdRowRecorder::RowKey(1)).State, int(Paused), 1000);
    QVERIFY(!rows.States(NdRowRecorder::RowKey(1)).contains(Failed));
    QCOMPARE(PlatformRequests("/lessons/plain2/seg2.ts", ""), 1);
}

// Before every batch: a known size needs three times what is missing, an
// unknown one a fixed margin.
void TestNdDownloadEngine::diskCheckStopsTask()
{
    NdRowRecorder rows;
    const qint64 mb = 1024 * 1024;
    NdDownloadTask::SetFreeBytesProbe([=](const QString& path) -> qint64 {
        return path == Downloads->path() ? qint64(0.5 * 3.0 * mb) : qint64(kNdUnknownSizeFreeMarginMb) * mb;
    });
    NdDownloadTaskManager scheduler;
    const DownloadTaskParam_t full = Queue(scheduler, LessonTask(QStringLiteral("plain"), 0));
    DownloadTaskParam_t unknown = LessonTask(QStringLiteral("plain2"), 1, Downloads->filePath("elsewhere"));
    unknown.VideoFileSize = 0.0f;
    Queue(scheduler, unknown);
    scheduler.start();
    for (const DownloadTaskParam_t& task : {full, unknown}) {
        QVERIFY(NdWaitStoredState(task.VideoTempPath, NoDisk, kTaskTimeoutMs));
        QTRY_COMPARE(ReportCount(task, "download_disk_full"), 1);
        QCOMPARE(NdSegmentFileCount(task.VideoTempPath), 0);
    }
    QCOMPARE(rows.LastReport(NdRowRecorder::RowKey(0)).State, int(NoDisk));
}

void TestNdDownloadEngine::workersEndWithTheirTask()
{
    const auto threadCount = [] { return QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(); };
    NdRowRecorder rows;
    NdDownloadTaskManager scheduler;
    scheduler.start();
    const int threadsBefore = threadCount();

    const DownloadTaskParam_t finished = Queue(scheduler, LessonTask(QStringLiteral("long"), 0));
    const DownloadTaskParam_t failed = Queue(scheduler, LessonTask(QStringLiteral("seg404/long"), 1));
    DownloadTaskParam_t paused = Queue(scheduler, LessonTask(QStringLiteral("slow/long"), 2));
    const DownloadTaskParam_t deleted = Queue(scheduler, LessonTask(QStringLiteral("slow/long"), 3));
    // Both slow ones stop after their first batch.
    QTRY_VERIFY_WITH_TIMEOUT(
        !rows.Reports(NdRowRecorder::RowKey(2)).isEmpty() && !rows.Reports(NdRowRecorder::RowKey(3)).isEmpty(),
        kTaskTimeoutMs);
    paused.VideoState = Paused;
    scheduler.ChangeDownloadState(paused);
    scheduler.RemoveTask(deleted);

    QVERIFY(NdWaitStoredState(finished.VideoTempPath, Finished, kTaskTimeoutMs));
    QVERIFY(NdWaitStoredState(failed.VideoTempPath, Failed, kTaskTimeoutMs));
    QTRY_COMPARE_WITH_TIMEOUT(rows.LastReport(NdRowRecorder::RowKey(2)).State, int(Paused), kTaskTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(rows.DestroyedTasks(), 4, kTaskTimeoutMs);
    // Their segment workers, and the network threads of the workers' managers,
    // have ended with them; one thread of slack for the rest of the process.
    QTRY_VERIFY_WITH_TIMEOUT(threadCount() <= threadsBefore + 1, kTaskTimeoutMs);
    QVERIFY(NdSegmentFileCount(paused.VideoTempPath) < 12);
}

// The converter is taken only around the converter run: tasks that wait for it
// show Transcoding with their merge list ready, and none merges meanwhile. A
// file that takes a video's name meanwhile stays untouched: the video takes a
// free name, and the record and the row follow it.
void TestNdDownloadEngine::waitingForTheConverterShowsTranscoding()
{
    // A converter run that keeps the converter taken until the test lets it go:
    // ffmpeg waits on a named pipe as its one input.
    QTemporaryDir busy;
    const QByteArray pipe = QFile::encodeName(busy.filePath(QStringLiteral("1.ts")));
    QVERIFY(::mkfifo(pipe.constData(), 0600) == 0 && NdWriteFile(busy.filePath("filelist.txt"), "file '1.ts'\n"));
    std::unique_ptr<QThread> converter(QThread::create([&busy] {
        INdDownloaderBackEnd::GetInstance()->TranscodingVideo(
            busy.filePath("filelist.txt").toStdString(), busy.filePath("NdTemp.mp4").toStdString());
    }));
    converter->start();
    // A writer gets the pipe without waiting only once ffmpeg is opening it.
    int writer = -1;
    QTRY_VERIFY_WITH_TIMEOUT(
        (writer = writer >= 0 ? writer : ::open(pipe.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0,
        kTaskTimeoutMs);
    NdRowRecorder rows;
    NdDownloadTaskManager scheduler;
    // Whichever way the test ends, the converter is freed before the tasks go.
    const auto freeConverter = qScopeGuard([&] {
        ::close(writer);
        converter->wait(kTaskTimeoutMs);
    });
    QList<DownloadTaskParam_t> tasks;
    for (const QString lesson : {"plain", "plain2"})
        tasks.append(Queue(scheduler, LessonTask(lesson, tasks.size())));
    scheduler.start();
    for (int i = 0; i < 2; ++i) {
        QTRY_COMPARE_WITH_TIMEOUT(rows.LastReport(NdRowRecorder::RowKey(i)).State, int(Transcoding), kTaskTimeoutMs);
        // Ready for its converter run: the merge list is written.
        QVERIFY(QFileInfo::exists(QString::fromStdString(tasks[i].VideoTempPath) + "/filelist.txt"));
    }
    // Time enough for a merge of these lessons, had one started.
    QTest::qWait(1500);
    for (const DownloadTaskParam_t& task : tasks) {
        QCOMPARE(NdStoredTask(task.VideoTempPath).VideoState, int(Transcoding));
        QVERIFY(NdWriteFile(NdOutputPath(task), "the user's own"));
    }
    // An empty input: that run fails and the converter is free.
    ::close(writer);
    writer = -1;
    QVERIFY(converter->wait(kTaskTimeoutMs));
    for (int i = 0; i < 2; ++i) {
        QVERIFY(NdWaitStoredState(tasks[i].VideoTempPath, Finished, kTaskTimeoutMs));
        QCOMPARE(NdReadFile(NdOutputPath(tasks[i])), QByteArray("the user's own"));
        const DownloadTaskParam_t stored = NdStoredTask(tasks[i].VideoTempPath);
        QCOMPARE(stored.VideoName, tasks[i].VideoName + "(1)");
        QVERIFY(NdProbe(NdOutputPath(stored)).Duration > 1.0);
        QTRY_COMPARE(rows.RenamedTo(NdRowRecorder::RowKey(i)), QString::fromStdString(stored.VideoName));
    }
}

QTEST_GUILESS_MAIN(TestNdDownloadEngine)
#include "TestNdDownloadEngine.moc"
