// Interrupted downloads against the sample platform's twelve-segment lesson (three
// batches): pause and start, a failed merge and its retry, files left on disk,
// and a scheduler or a whole process that goes away.
#include "NdDownloadTaskManager.h"
#include "NdEngineTestKit.h"

#include "NdCore/NdCacheManager.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTest>

const int kSegmentCount = 12;

class TestNdDownloadResume : public NdPlatformTestCase
{
    Q_OBJECT
private slots:
    void pauseAndStartAgain();
    void failedMergeRetriesFromDisk_data();
    void failedMergeRetriesFromDisk();
    void filesOnDiskAreMergedWithoutFetching();
    void interruptedRunsResumeAtTheNextStart();

private:
    // The stored record with a new state, as a row that follows the reports sends it.
    DownloadTaskParam_t WithState(const DownloadTaskParam_t& task, int state) const
    {
        DownloadTaskParam_t record = NdStoredTask(task.VideoTempPath);
        record.TaskItem = task.TaskItem;
        record.VideoState = state;
        return record;
    }
};

// Three runs side by side, each paused at another point: early on (also
// behind a redirect, whose segments live in the new folder) and near the end.
// The next run fetches only what is not whole on disk.
void TestNdDownloadResume::pauseAndStartAgain()
{
    const QStringList folders = {"/lessons/slow/long/", "/moved/slow/long/", "/lessons/slow/crlf/long/"};
    const int pauseAt[] = {6, 6, 11}; // segment requests
    NdRowRecorder rows;
    NdDownloadTaskManager scheduler;
    QList<DownloadTaskParam_t> tasks;
    for (const QString lesson : {"slow/long", "slow/redirect/long", "slow/crlf/long"})
        tasks.append(Queue(scheduler, LessonTask(lesson, tasks.size())));
    scheduler.start();
    QList<int> paused;
    QVERIFY(QTest::qWaitFor(
        [&] {
            // One look at the log for all three: a slow machine still pauses within the batch.
            const QJsonArray requests = Platform.Requests();
            for (int i = 0; i < 3; ++i) {
                if (!paused.contains(i) && CountRequests(requests, folders[i], ".ts") >= pauseAt[i]) {
                    scheduler.ChangeDownloadState(WithState(tasks[i], Paused));
                    paused.append(i);
                }
            }
            return paused.size() == 3;
        },
        kTaskTimeoutMs));
    int onDisk[3], asked[3];
    for (int i = 0; i < 3; ++i) {
        QTRY_COMPARE_WITH_TIMEOUT(rows.LastReport(NdRowRecorder::RowKey(i)).State, int(Paused), kTaskTimeoutMs);
        QCOMPARE(NdStoredTask(tasks[i].VideoTempPath).VideoState, int(Paused));
        // The transfers in flight end at once and leave no file; what came whole stays.
        onDisk[i] = NdSegmentFileCount(tasks[i].VideoTempPath);
        asked[i] = PlatformRequests(folders[i], ".ts");
        QVERIFY(onDisk[i] >= pauseAt[i] - kNdSegmentsInFlight && onDisk[i] < kSegmentCount);
        QVERIFY(!QFileInfo::exists(NdOutputPath(tasks[i])));
    }

    for (int i = 0; i < 3; ++i)
        scheduler.ChangeDownloadState(WithState(tasks[i], Wait));
    for (int i = 0; i < 3; ++i) {
        QVERIFY(EndsWhole(tasks[i], "long"));
        QCOMPARE(rows.StartCount(NdRowRecorder::RowKey(i)), 2);
        // From the playlist on disk, and only the segments that were not whole.
        QCOMPARE(PlatformRequests(folders[i], ".m3u8"), 1);
        QCOMPARE(PlatformRequests(folders[i], ".ts"), asked[i] + kSegmentCount - onDisk[i]);
    }
    // One video each, never a second copy.
    QCOMPARE(QDir(Downloads->path()).entryList({"*.mp4"}, QDir::Files).size(), 3);
    QTRY_COMPARE(rows.DestroyedTasks(), 6);
}

void TestNdDownloadResume::failedMergeRetriesFromDisk_data()
{
    QTest::addColumn<bool>("moveFails");
    // A folder where the merged file should go makes ffmpeg fail.
    QTest::newRow("ffmpeg fails") << false;
    // Where the merged file goes cannot be written down before the move.
    QTest::newRow("move fails") << true;
}

void TestNdDownloadResume::failedMergeRetriesFromDisk()
{
    QFETCH(bool, moveFails);
    NdRowRecorder rows;
    NdDownloadTaskManager scheduler;
    DownloadTaskParam_t task = LessonTask(QStringLiteral("long"), 0);
    const QString blocker
        = QString::fromStdString(task.VideoTempPath) + (moveFails ? "/filelist.moved" : "/NdTemp.mp4");
    QVERIFY(QDir().mkpath(blocker));
    task = Queue(scheduler, task);
    scheduler.start();
    QVERIFY(NdWaitStoredState(task.VideoTempPath, Failed, kTaskTimeoutMs));
    QTRY_COMPARE(ReportCount(task, "download_fail"), 1);
    QVERIFY(NdSegmentFileCount(task.VideoTempPath) == kSegmentCount
        && NdStoredTask(task.VideoTempPath).VideoDownloadFileSize > 0);

    QVERIFY(QDir(blocker).removeRecursively());
    QVERIFY(Platform.Reset());
    scheduler.ChangeDownloadState(WithState(task, Wait));
    QVERIFY(NdWaitStoredState(task.VideoTempPath, Finished, kTaskTimeoutMs));
    // Everything is on disk: nothing is fetched again.
    QCOMPARE(PlatformRequests(QStringLiteral("/"), ".ts") + PlatformRequests(QStringLiteral("/"), ".m3u8"), 0);
    QVERIFY(IsWhole(task, "long"));
}

// Three stored tasks: one resumed with all its segments and more on disk, one
// stopped while merging, and one whose working folder is gone.
void TestNdDownloadResume::filesOnDiskAreMergedWithoutFetching()
{
    QList<DownloadTaskParam_t> tasks;
    for (int i = 0; i < 3; ++i)
        tasks.append(LessonTask(i < 2 ? QStringLiteral("long") : QStringLiteral("plain"), i));
    for (int i = 0; i < 2; ++i) {
        const QString folder = QString::fromStdString(tasks[i].VideoTempPath) + "/";
        for (int n = 1; n <= (i == 0 ? kSegmentCount + 6 : kSegmentCount); ++n) {
            const QByteArray segment = Platform.Get(SegmentUrl("long", (n - 1) % kSegmentCount + 1)).Body;
            QVERIFY(QDir().mkpath(folder) && NdWriteFile(folder + QStringLiteral("%1.ts").arg(n), segment));
        }
        QVERIFY(NdWriteFile(folder + "index.m3u8", Platform.Get(Platform.LessonUrl("long")).Body));
    }
    tasks[0].VideoState = Downloading;
    tasks[1].VideoState = Transcoding;
    for (DownloadTaskParam_t& task : tasks)
        task.VideoDownloadFileSize = 0.1f;
    QVERIFY(Platform.Reset());
    NdRowRecorder rows;
    NdDownloadTaskManager scheduler;
    for (const DownloadTaskParam_t& task : tasks)
        Queue(scheduler, task);
    scheduler.start();
    for (const DownloadTaskParam_t& task : tasks)
        QVERIFY(NdWaitStoredState(task.VideoTempPath, Finished, kTaskTimeoutMs));
    QCOMPARE(PlatformRequests(QStringLiteral("/lessons/long/"), ""), 0);
    QCOMPARE(PlatformRequests(QStringLiteral("/lessons/plain/"), ".m3u8"), 1);
    // The files beyond the playlist's twelve are not merged into the video.
    QVERIFY(IsWhole(tasks[0], "long") && IsWhole(tasks[1], "long"));
    // All on disk, the resumed task runs no batch: on to the merge at once.
    QTRY_COMPARE(rows.States(NdRowRecorder::RowKey(0)), QList<int>({Downloading, Downloaded, Transcoding, Finished}));
    QTRY_COMPARE(rows.States(NdRowRecorder::RowKey(1)), QList<int>({Finished}));
    QCOMPARE(
        rows.LastReport(NdRowRecorder::RowKey(1)).Size, NdStoredTask(tasks[1].VideoTempPath).VideoTranscodeFileSize);
}

// A run stopped in its first batch because its scheduler goes away, and then the
// program killed in the middle of a batch: the next start resumes it.
void TestNdDownloadResume::interruptedRunsResumeAtTheNextStart()
{
    NdRowRecorder rows;
    DownloadTaskParam_t task = LessonTask(QStringLiteral("slow/crlf/long"), 0);
    {
        NdDownloadTaskManager scheduler;
        Queue(scheduler, task);
        scheduler.start();
        // Gone while its first window of five is on the way.
        QVERIFY(QTest::qWaitFor([&] { return PlatformRequests("/", ".ts") >= 5; }, kTaskTimeoutMs));
    }
    // The running task ended its transfers at once and was waited for; it said
    // no word after its start.
    QCOMPARE(rows.DestroyedTasks(), 1);
    QVERIFY(rows.AllDisconnected());
    QCOMPARE(rows.States(NdRowRecorder::RowKey(0)), QList<int>{Downloading});
    QCOMPARE(PlatformRequests(QStringLiteral("/"), ".ts"), 5);
    QCOMPARE(Platform.Reports().size(), 0);
    QCOMPARE(NdStoredTask(task.VideoTempPath).VideoState, int(Downloading));

    QVERIFY(Platform.Reset());
    QProcess runner;
    runner.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    runner.start(QCoreApplication::applicationDirPath() + QStringLiteral("/NdEngineRunner"),
        {Platform.DeployFilePath(), QString::number(kTransferTimeoutMs), QCoreApplication::applicationName()});
    // At least six segments are whole once the eleventh is asked for.
    QVERIFY(runner.waitForStarted(5000));
    QVERIFY(QTest::qWaitFor([&] { return PlatformRequests(QStringLiteral("/"), ".ts") >= 11; }, kTaskTimeoutMs));
    runner.kill();
    QVERIFY(runner.waitForFinished(5000) && runner.exitStatus() == QProcess::CrashExit);
    NdCacheManager::GetInstance()->Reload(); // the runner wrote it
    task = NdStoredTask(task.VideoTempPath);
    // The kill may have cost the latest figures, never the task or its segments.
    QCOMPARE(task.VideoState, int(Downloading));
    const int onDisk = NdSegmentFileCount(task.VideoTempPath);
    QVERIFY(onDisk >= 6);

    QVERIFY(Platform.Reset());
    NdDownloadTaskManager scheduler;
    scheduler.AddTask(task);
    scheduler.start();
    QVERIFY(EndsWhole(task, "long"));
    // What the kill cut off is fetched again, nothing else.
    QCOMPARE(PlatformRequests(QStringLiteral("/"), ".ts"), kSegmentCount - onDisk);
}

QTEST_GUILESS_MAIN(TestNdDownloadResume)
#include "TestNdDownloadResume.moc"
