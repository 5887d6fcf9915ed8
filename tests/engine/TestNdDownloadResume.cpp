// Interrupted downloads against the sample platform's twelve-segment lesson (three
// batches): pause and start, a failed merge and its retry, deletion while running
// and a killed process.
#include "INdDownloaderBackEnd.h"
#include "NdDownloadTaskManager.h"
#include "NdEngineTestKit.h"
#include "NdSamplePlatformProcess.h"
#include "NdTestEnv.h"

#include "NdCore/NdCacheManager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

using NdDownloaderInterface::INdDownloaderBackEnd;

namespace {
const int kSegmentCount = 12;
} // namespace

class TestNdDownloadResume : public NdPlatformTestCase
{
    Q_OBJECT
private slots:
    void pauseDuringBatchThenResume();
    void startRightAfterPauseWaitsForTheBatch();
    void pauseInLastBatchStopsBeforeMerging();
    void failedMergeRetriesLastBatch_data();
    void failedMergeRetriesLastBatch();
    void filesOnDiskAreMergedWithoutFetching();
    void resumeWithoutWorkFolderStartsAfresh();
    void deleteWhileRunningLeavesNoTrace();
    void schedulerGoneWhileDownloadingLeavesTaskResumable();
    void killedProcessResumesNextStart();

private:
    // Requests to the platform whose path starts with prefix and ends with suffix.
    int Requests(const QString& prefix, const char* suffix) const;
    double LessonSeconds() const { return SourceDuration(QStringLiteral("long")); }
    // The stored record with a new state, as a row that follows the reports sends it.
    DownloadTaskParam_t WithState(const DownloadTaskParam_t& task, int state) const;
};

int TestNdDownloadResume::Requests(const QString& prefix, const char* suffix) const
{
    int count = 0;
    for (const QJsonValue& request : m_platform.Requests()) {
        const QString path = request.toObject().value("path").toString();
        count += path.startsWith(prefix) && path.endsWith(QLatin1String(suffix)) ? 1 : 0;
    }
    return count;
}

DownloadTaskParam_t TestNdDownloadResume::WithState(const DownloadTaskParam_t& task, int state) const
{
    DownloadTaskParam_t record = NdStoredTask(task.VideoTempPath);
    record.TaskItem = task.TaskItem;
    record.VideoState = state;
    return record;
}

void TestNdDownloadResume::pauseDuringBatchThenResume()
{
    NdRowRecorder rows;
    NdDownloadTaskManager scheduler;
    // The lesson straight and behind a redirect, whose segments live in the new folder.
    const DownloadTaskParam_t tasks[] = {Queue(scheduler, LessonTask(QStringLiteral("slow/long"), 0)),
        Queue(scheduler, LessonTask(QStringLiteral("slow/redirect/long"), 1))};
    const QString segmentFolders[] = {"/lessons/slow/long/", "/moved/slow/long/"};
    scheduler.start();

    // Pause while the second batch is on its way.
    bool paused[] = {false, false};
    QVERIFY(QTest::qWaitFor(
        [&] {
            for (int i = 0; i < 2; ++i) {
                if (!paused[i] && Requests(segmentFolders[i], ".ts") >= 6) {
                    scheduler.ChangeDownloadState(WithState(tasks[i], Paused));
                    paused[i] = true;
                }
            }
            return paused[0] && paused[1];
        },
        kTaskTimeoutMs));
    for (int i = 0; i < 2; ++i) {
        QTRY_COMPARE_WITH_TIMEOUT(rows.LastReport(NdRowRecorder::RowKey(i)).State, int(Paused), kTaskTimeoutMs);
        const NdRowReport_t last = rows.LastReport(NdRowRecorder::RowKey(i));
        QCOMPARE(last.Percent, 83); // the batch in progress finished: 10 of 12
        QVERIFY(last.Speed.endsWith(QLatin1String("B/S")));
        QCOMPARE(NdStoredTask(tasks[i].VideoTempPath).VideoState, int(Paused));
        QCOMPARE(NdSegmentFileCount(tasks[i].VideoTempPath), 10);
        QCOMPARE(Requests(segmentFolders[i], ".ts"), 10);
    }
    QTRY_VERIFY(rows.AllDisconnected());
    // Paused tasks left the scheduler; their objects go once their threads have ended.
    QTRY_COMPARE(rows.DestroyedTasks(), 2);

    QVERIFY(m_platform.Reset());
    for (const DownloadTaskParam_t& task : tasks)
        scheduler.ChangeDownloadState(WithState(task, Wait));
    for (const DownloadTaskParam_t& task : tasks)
        QVERIFY(NdWaitStoredState(task.VideoTempPath, Finished, kTaskTimeoutMs));
    QCOMPARE(Requests(QStringLiteral("/"), ".m3u8"), 0);
    const double seconds = LessonSeconds();
    for (int i = 0; i < 2; ++i) {
        // From the playlist on disk; the last batch on disk is fetched again.
        QCOMPARE(Requests(segmentFolders[i], ".ts"), 7);
        QVERIFY(qAbs(NdProbe(NdOutputPath(tasks[i])).Duration - seconds) <= 0.5);
        QCOMPARE(rows.StartCount(NdRowRecorder::RowKey(i)), 2);
    }
}

void TestNdDownloadResume::startRightAfterPauseWaitsForTheBatch()
{
    NdRowRecorder rows;
    NdDownloadTaskManager scheduler;
    const DownloadTaskParam_t task = Queue(scheduler, LessonTask(QStringLiteral("slow/long"), 0));
    scheduler.start();
    QVERIFY(QTest::qWaitFor([&] { return Requests(QStringLiteral("/lessons/"), ".ts") >= 1; }, kTaskTimeoutMs));

    scheduler.ChangeDownloadState(WithState(task, Paused));
    scheduler.ChangeDownloadState(WithState(task, Wait));
    QVERIFY(NdWaitStoredState(task.VideoTempPath, Finished, kTaskTimeoutMs));
    QCOMPARE(rows.StartCount(NdRowRecorder::RowKey(0)), 2);
    // The second run began only after the paused one had finished its batch.
    QCOMPARE(rows.OverlappingRuns(), 0);
    QVERIFY(qAbs(NdProbe(NdOutputPath(task)).Duration - LessonSeconds()) <= 0.5);
}

void TestNdDownloadResume::pauseInLastBatchStopsBeforeMerging()
{
    NdRowRecorder rows;
    NdDownloadTaskManager scheduler;
    const DownloadTaskParam_t task = Queue(scheduler, LessonTask(QStringLiteral("slow/long"), 0));
    scheduler.start();
    // Segments 11 and 12 make the last batch.
    QVERIFY(QTest::qWaitFor([&] { return Requests(QStringLiteral("/lessons/"), ".ts") >= 11; }, kTaskTimeoutMs));
    scheduler.ChangeDownloadState(WithState(task, Paused));
    QTRY_COMPARE_WITH_TIMEOUT(rows.LastReport(NdRowRecorder::RowKey(0)).State, int(Paused), kTaskTimeoutMs);
    QTRY_COMPARE(rows.DestroyedTasks(), 1);
    QCOMPARE(NdStoredTask(task.VideoTempPath).VideoState, int(Paused));
    QCOMPARE(NdSegmentFileCount(task.VideoTempPath), 12);
    const QStringList mp4Filter = {QStringLiteral("*.mp4")};
    QVERIFY(QDir(QString::fromStdString(task.VideoDownloadPath)).entryList(mp4Filter, QDir::Files).isEmpty());

    // Started again, the task merges what it has: one video, not a second copy.
    scheduler.ChangeDownloadState(WithState(task, Wait));
    QVERIFY(NdWaitStoredState(task.VideoTempPath, Finished, kTaskTimeoutMs));
    QCOMPARE(QDir(QString::fromStdString(task.VideoDownloadPath)).entryList(mp4Filter, QDir::Files).size(), 1);
    QVERIFY(qAbs(NdProbe(NdOutputPath(task)).Duration - LessonSeconds()) <= 0.5);
}

void TestNdDownloadResume::failedMergeRetriesLastBatch_data()
{
    QTest::addColumn<bool>("moveFails");
    // A folder where the merged file should go makes ffmpeg fail.
    QTest::newRow("ffmpeg fails") << false;
    // The merged file cannot reach a download folder that is gone.
    QTest::newRow("move fails") << true;
}

void TestNdDownloadResume::failedMergeRetriesLastBatch()
{
    QFETCH(bool, moveFails);
    NdRowRecorder rows;
    NdDownloadTaskManager scheduler;
    DownloadTaskParam_t task = LessonTask(QStringLiteral("long"), 0);
    const QString blocker = moveFails ? m_downloads->filePath(QStringLiteral("gone"))
                                      : QString::fromStdString(task.VideoTempPath) + QStringLiteral("/NdTemp.mp4");
    if (moveFails)
        task.VideoDownloadPath = blocker.toStdString();
    else
        QVERIFY(QDir().mkpath(blocker));
    task = Queue(scheduler, task);
    scheduler.start();

    QVERIFY(NdWaitStoredState(task.VideoTempPath, Failed, kTaskTimeoutMs));
    QTRY_COMPARE(rows.LastReport(NdRowRecorder::RowKey(0)).State, int(Failed));
    QTRY_COMPARE(ReportCount(task, "download_fail"), 1);
    QCOMPARE(ReportCount(task, "download_success"), 0);
    QVERIFY(!QFileInfo::exists(NdOutputPath(task)));
    QCOMPARE(NdSegmentFileCount(task.VideoTempPath), kSegmentCount);
    QVERIFY(NdStoredTask(task.VideoTempPath).VideoDownloadFileSize > 0.0f);

    if (moveFails)
        QVERIFY(QDir().mkpath(blocker));
    else
        QVERIFY(QDir(blocker).removeRecursively());
    QVERIFY(m_platform.Reset());
    scheduler.ChangeDownloadState(WithState(task, Wait));
    QVERIFY(NdWaitStoredState(task.VideoTempPath, Finished, kTaskTimeoutMs));
    QCOMPARE(Requests(QStringLiteral("/lessons/long/"), ".ts"), 5);
    QCOMPARE(Requests(QStringLiteral("/"), ".m3u8"), 0);
    QVERIFY(qAbs(NdProbe(NdOutputPath(task)).Duration - LessonSeconds()) <= 0.5);
    QTRY_COMPARE(ReportCount(task, "download_success"), 1);
}

// Two tasks whose segments are all on disk: one resumed with more segment files
// than its playlist lists, one stopped while merging.
void TestNdDownloadResume::filesOnDiskAreMergedWithoutFetching()
{
    QByteArray segments[kSegmentCount];
    for (int i = 0; i < kSegmentCount; ++i) {
        const QString url = m_platform.LessonUrl(QStringLiteral("long"))
                                .replace(QStringLiteral("index.m3u8"), QStringLiteral("seg%1.ts").arg(i + 1));
        segments[i] = m_platform.Get(url).Body;
        QVERIFY(!segments[i].isEmpty());
    }
    const QByteArray playlist = m_platform.Get(m_platform.LessonUrl(QStringLiteral("long"))).Body;
    const auto writeFiles = [&](const DownloadTaskParam_t& task, int segmentFiles, bool withList) {
        const QDir work(QString::fromStdString(task.VideoTempPath));
        QVERIFY(work.mkpath(QStringLiteral(".")));
        QByteArray list;
        QList<QPair<QString, QByteArray>> files{{"index.m3u8", playlist}};
        for (int i = 1; i <= segmentFiles; ++i) {
            files.append({QStringLiteral("%1.ts").arg(i), segments[(i - 1) % kSegmentCount]});
            list += "file '" + QByteArray::number(i) + ".ts'\n";
        }
        if (withList)
            files.append({"filelist.txt", list});
        for (const auto& file : files) {
            QFile out(work.filePath(file.first));
            QVERIFY(out.open(QIODevice::WriteOnly));
            QCOMPARE(out.write(file.second), qint64(file.second.size()));
        }
    };
    DownloadTaskParam_t resumed = LessonTask(QStringLiteral("long"), 0);
    writeFiles(resumed, kSegmentCount + 6, false);
    resumed.VideoDownloadFileSize = 0.1f;
    resumed.VideoState = Downloading;
    DownloadTaskParam_t merging = LessonTask(QStringLiteral("long"), 1);
    writeFiles(merging, kSegmentCount, true);
    merging.VideoDownloadFileSize = merging.VideoFileSize;
    merging.VideoState = Transcoding;
    QVERIFY(m_platform.Reset());

    NdRowRecorder rows;
    NdDownloadTaskManager scheduler;
    resumed = Queue(scheduler, resumed);
    merging = Queue(scheduler, merging);
    scheduler.start();
    QVERIFY(NdWaitStoredState(resumed.VideoTempPath, Finished, kTaskTimeoutMs));
    QVERIFY(NdWaitStoredState(merging.VideoTempPath, Finished, kTaskTimeoutMs));
    QCOMPARE(Requests(QStringLiteral("/"), ".ts"), 0);
    QCOMPARE(Requests(QStringLiteral("/"), ".m3u8"), 0);
    // The files beyond the playlist's twelve are not merged into the video.
    QVERIFY(qAbs(NdProbe(NdOutputPath(resumed)).Duration - LessonSeconds()) <= 0.5);
    QVERIFY(qAbs(NdProbe(NdOutputPath(merging)).Duration - LessonSeconds()) <= 0.5);

    QTRY_COMPARE(rows.LastReport(NdRowRecorder::RowKey(0)).State, int(Finished));
    QList<int> states;
    for (const NdRowReport_t& report : rows.Reports(NdRowRecorder::RowKey(0)))
        states.append(report.State);
    QCOMPARE(states, QList<int>({Downloaded, Transcoding, Finished}));
    QTRY_COMPARE(rows.Reports(NdRowRecorder::RowKey(1)).size(), 1);
    const NdRowReport_t merged = rows.LastReport(NdRowRecorder::RowKey(1));
    QCOMPARE(merged.State, int(Finished));
    QCOMPARE(merged.Percent, 100);
    QCOMPARE(merged.Speed, QString());
    QCOMPARE(merged.Size, NdStoredTask(merging.VideoTempPath).VideoTranscodeFileSize);
}

void TestNdDownloadResume::resumeWithoutWorkFolderStartsAfresh()
{
    DownloadTaskParam_t task = LessonTask(QStringLiteral("plain"), 0);
    task.VideoDownloadFileSize = 0.2f;
    NdDownloadTaskManager scheduler;
    task = Queue(scheduler, task);
    scheduler.start();
    QVERIFY(NdWaitStoredState(task.VideoTempPath, Finished, kTaskTimeoutMs));
    QCOMPARE(Requests(QStringLiteral("/lessons/plain/"), ".m3u8"), 1);
    QVERIFY(QFileInfo::exists(NdOutputPath(task)));
}

void TestNdDownloadResume::deleteWhileRunningLeavesNoTrace()
{
    NdRowRecorder rows;
    NdDownloadTaskManager scheduler;
    const DownloadTaskParam_t task = Queue(scheduler, LessonTask(QStringLiteral("slow/long"), 0));
    scheduler.start();
    QVERIFY(QTest::qWaitFor([&] { return Requests(QStringLiteral("/lessons/"), ".ts") >= 1; }, kTaskTimeoutMs));

    scheduler.RemoveTask(task);
    INdDownloaderBackEnd::GetInstance()->DeleteTask(task, false);
    // What a segment file opened during the deletion leaves behind.
    const QDir work(QString::fromStdString(task.VideoTempPath));
    QVERIFY(work.mkpath(QStringLiteral(".")));
    QFile late(work.filePath(QStringLiteral("5.ts")));
    QVERIFY(late.open(QIODevice::WriteOnly));
    late.close();
    // The run ends after its batch; once its object is released nothing can follow.
    QTRY_COMPARE_WITH_TIMEOUT(rows.DestroyedTasks(), 1, kTaskTimeoutMs);
    QVERIFY(rows.AllDisconnected());
    QVERIFY(!work.exists());
    QCOMPARE(NdStoredTask(task.VideoTempPath).VideoState, -1);
    QVERIFY(rows.Reports(NdRowRecorder::RowKey(0)).isEmpty());
    QCOMPARE(Requests(QStringLiteral("/lessons/"), ".ts"), 5);
    for (const char* message : {"download_success", "download_fail", "download_disk_full"})
        QCOMPARE(ReportCount(task, message), 0);
}

void TestNdDownloadResume::schedulerGoneWhileDownloadingLeavesTaskResumable()
{
    NdRowRecorder rows;
    DownloadTaskParam_t task = LessonTask(QStringLiteral("slow/long"), 0);
    {
        NdDownloadTaskManager scheduler;
        task = Queue(scheduler, task);
        scheduler.start();
        QVERIFY(QTest::qWaitFor([&] { return Requests(QStringLiteral("/lessons/"), ".ts") >= 1; }, kTaskTimeoutMs));
    }
    // The running task finished its batch and was waited for.
    QCOMPARE(rows.DestroyedTasks(), 1);
    QVERIFY(rows.AllDisconnected());
    const int requests = Requests(QStringLiteral("/lessons/"), ".ts");
    QCOMPARE(requests, 5);
    QCOMPARE(NdStoredTask(task.VideoTempPath).VideoState, int(Downloading));
    for (const char* message : {"download_success", "download_fail", "download_disk_full"})
        QCOMPARE(ReportCount(task, message), 0);
}

void TestNdDownloadResume::killedProcessResumesNextStart()
{
    DownloadTaskParam_t task = LessonTask(QStringLiteral("slow/long"), 0);
    task.TaskItem = nullptr;
    NdCacheManager::GetInstance()->SaveOneDownloadTask(task);

    QProcess runner;
    runner.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    runner.start(QCoreApplication::applicationDirPath() + QStringLiteral("/NdEngineRunner"),
        {m_platform.DeployFilePath(), QString::number(kTransferTimeoutMs), QCoreApplication::applicationName()});
    QVERIFY(runner.waitForStarted(5000));
    // Two batches are on disk once the third has begun.
    QVERIFY(QTest::qWaitFor([&] { return Requests(QStringLiteral("/lessons/"), ".ts") >= 11; }, kTaskTimeoutMs));
    runner.kill();
    QVERIFY(runner.waitForFinished(5000));
    QCOMPARE(runner.exitStatus(), QProcess::CrashExit);

    std::vector<DownloadTaskParam_t> stored;
    QVERIFY(NdCacheManager::GetInstance()->GetDownloadTasks(stored));
    const DownloadTaskParam_t left = NdStoredTask(task.VideoTempPath);
    QCOMPARE(left.VideoState, int(Downloading));
    QVERIFY(left.VideoDownloadFileSize > 0.0f);
    const int onDisk = NdSegmentFileCount(task.VideoTempPath);
    QVERIFY(onDisk >= 10);

    // The next start queues what was in work.
    QVERIFY(m_platform.Reset());
    NdDownloadTaskManager scheduler;
    for (const DownloadTaskParam_t& record : stored) {
        if (record.VideoState == Wait || record.VideoState == Downloading || record.VideoState == Transcoding)
            scheduler.AddTask(record);
    }
    scheduler.start();
    QVERIFY(NdWaitStoredState(task.VideoTempPath, Finished, kTaskTimeoutMs));
    QCOMPARE(Requests(QStringLiteral("/lessons/"), ".ts"), kSegmentCount - NdResumeBatchStart(onDisk));
    QVERIFY(qAbs(NdProbe(NdOutputPath(task)).Duration - LessonSeconds()) <= 0.5);
}

QTEST_GUILESS_MAIN(TestNdDownloadResume)
#include "TestNdDownloadResume.moc"
