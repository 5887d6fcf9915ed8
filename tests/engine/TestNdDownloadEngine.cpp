// Whole downloads against the sample platform: the scheduler, the task and segment
// threads, the real backend, the HTTP client and ffmpeg.
#include "INdDownloaderBackEnd.h"
#include "NdDownloadTaskManager.h"
#include "NdEngineTestKit.h"
#include "NdSamplePlatformProcess.h"
#include "NdTestEnv.h"

#include "NdCore/NdCacheManager.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QSet>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

using NdDownloaderInterface::INdDownloaderBackEnd;

class TestNdDownloadEngine : public NdPlatformTestCase
{
    Q_OBJECT
private slots:
    void tokenLessonsEndAsMp4();
    void fiveSlotsSixthWaits();
    void faultMatrix_data();
    void faultMatrix();
    void initTestCase();
    void cleanup();
    void playlistFormsDownloadWhole();
    void diskCheckStopsTask();
    void connectionsLastTheWholeTask();
    void workersEndWithTheirTask();
    void waitingForTheConverterShowsTranscoding();

private:
    enum Place
    {
        Healthy,
        BelowAFile,          // the working folder cannot be made
        FullAfterFirstBatch, // a small disk with room for five segments
        FullBeforeMerge,     // a small disk with room for the segments only
    };

    void VerifyFinishedMp4(const DownloadTaskParam_t& task, const QString& lessonPath);
    QString SegmentUrl(const QString& lessonPath, int number) const;
    void PrepareDownloadFolder(Place place, const QString& lesson, QString* folder);

    QString m_mountPoint;
};

void TestNdDownloadEngine::VerifyFinishedMp4(const DownloadTaskParam_t& task, const QString& lessonPath)
{
    const QString output = NdOutputPath(task);
    QVERIFY2(QFileInfo::exists(output), qPrintable(output));
    const double expected = SourceDuration(lessonPath);
    QVERIFY(expected > 1.0);
    const NdMediaInfo_t media = NdProbe(output);
    QVERIFY2(qAbs(media.Duration - expected) <= 0.5, qPrintable(lessonPath));
    QCOMPARE(media.Codecs, QStringList({"h264", "aac"}));
    QVERIFY(!QFileInfo::exists(QString::fromStdString(task.VideoTempPath)));
    const DownloadTaskParam_t stored = NdStoredTask(task.VideoTempPath);
    QCOMPARE(stored.VideoState, int(Finished));
    QVERIFY(qAbs(stored.VideoTranscodeFileSize - QFileInfo(output).size() / 1000.0 / 1000.0) < 1e-4);
    QVERIFY(stored.VideoDownloadFileSize > 0.0f);
    if (task.VideoFileSize > 0.0f)
        QCOMPARE(stored.VideoDownloadFileSize, task.VideoFileSize);
    QCOMPARE(ReportCount(task, "download_success"), 1);
    QCOMPARE(ReportCount(task, "download_fail"), 0);
}

void TestNdDownloadEngine::tokenLessonsEndAsMp4()
{
    NdRowRecorder rows;
    std::vector<DownloadTaskParam_t> records;
    INdDownloaderBackEnd* backEnd = INdDownloaderBackEnd::GetInstance();
    QVERIFY(backEnd->GetDownloadTaskByToken("plain,plain2,plain3", records));
    QCOMPARE(records.size(), size_t(3));
    QVERIFY(backEnd->GetDownloadTaskByToken("aes", records));
    QCOMPARE(records.size(), size_t(4));
    const QStringList lessons = {"plain", "plain2", "plain3", "aes"};

    NdDownloadTaskManager scheduler;
    QList<DownloadTaskParam_t> tasks;
    for (int i = 0; i < 4; ++i) {
        DownloadTaskParam_t task = records[i];
        const DownloadTaskParam_t place = NdMakeTask(m_downloads->path(), QString(), QString(), 0.0f, nullptr);
        task.VideoDownloadPath = place.VideoDownloadPath;
        task.VideoTempPath = place.VideoTempPath;
        task.TaskItem = NdRowRecorder::RowKey(i);
        QVERIFY(task.VideoFileSize > 0.0f);
        tasks.append(Queue(scheduler, task));
    }
    scheduler.start();

    for (const DownloadTaskParam_t& task : tasks)
        QVERIFY(NdWaitStoredState(task.VideoTempPath, Finished, kTaskTimeoutMs));
    for (int i = 0; i < 4; ++i) {
        VerifyFinishedMp4(tasks[i], lessons[i]);
        QTRY_COMPARE(rows.LastReport(NdRowRecorder::RowKey(i)).State, int(Finished));
        const QList<NdRowReport_t> reports = rows.Reports(NdRowRecorder::RowKey(i));
        // Four segments make one batch: 3 with the sizes, then 5, then 6 with the file size.
        QCOMPARE(reports.size(), 3);
        QCOMPARE(reports[0].State, int(Downloaded));
        QVERIFY(reports[0].Speed.endsWith(QLatin1String("B/S")));
        QCOMPARE(reports[1].State, int(Transcoding));
        QCOMPARE(reports[2].Percent, 100);
        QCOMPARE(reports[2].Size, NdStoredTask(tasks[i].VideoTempPath).VideoTranscodeFileSize);
    }
    QCOMPARE(NdDecodeErrors(NdOutputPath(tasks[3])), QString());
    QTRY_VERIFY(rows.AllDisconnected());
    // Nothing waits for their slots, yet the ended tasks' objects are released.
    QTRY_COMPARE(rows.DestroyedTasks(), 4);
}

void TestNdDownloadEngine::fiveSlotsSixthWaits()
{
    NdRowRecorder rows;
    NdDownloadTaskManager scheduler;
    QList<DownloadTaskParam_t> tasks;
    for (int i = 0; i < 7; ++i)
        tasks.append(Queue(scheduler, LessonTask(QStringLiteral("slow/plain"), i)));
    scheduler.start();

    const auto finishedOfFirstFive = [&] {
        int finished = 0;
        for (int i = 0; i < 5; ++i)
            finished += NdStoredTask(tasks[i].VideoTempPath).VideoState == Finished ? 1 : 0;
        return finished;
    };
    QTRY_COMPARE_WITH_TIMEOUT(rows.StartedRows(), 5, 5000);
    for (int i = 0; i < 5; ++i)
        QCOMPARE(rows.StartCount(NdRowRecorder::RowKey(i)), 1);
    // A slow lesson holds its slot for more than a second: the five run side by side.
    QCOMPARE(finishedOfFirstFive(), 0);

    // The sixth starts only once one of the five has freed its slot.
    QTRY_COMPARE_WITH_TIMEOUT(rows.StartCount(NdRowRecorder::RowKey(5)), 1, kTaskTimeoutMs);
    QVERIFY(finishedOfFirstFive() >= 1);

    for (const DownloadTaskParam_t& task : tasks)
        QVERIFY(NdWaitStoredState(task.VideoTempPath, Finished, kTaskTimeoutMs));
    for (const DownloadTaskParam_t& task : tasks)
        QVERIFY(QFileInfo::exists(NdOutputPath(task)));
}

void TestNdDownloadEngine::faultMatrix_data()
{
    QTest::addColumn<QString>("lesson");
    QTest::addColumn<int>("place");
    QTest::addColumn<int>("kept"); // segment files of earlier batches that must stay whole
    const int segments = 5;        // "late" faults hit the second batch of "long"
    QTest::newRow("segment 403") << "late/seg403/long" << int(Healthy) << segments;
    QTest::newRow("segment 404") << "late/seg404/long" << int(Healthy) << segments;
    QTest::newRow("segment 500") << "late/seg500/long" << int(Healthy) << segments;
    QTest::newRow("playlist 403") << "playlist403/plain" << int(Healthy) << 0;
    QTest::newRow("playlist 404") << "playlist404/plain" << int(Healthy) << 0;
    QTest::newRow("playlist 500") << "playlist500/plain" << int(Healthy) << 0;
    QTest::newRow("key 403") << "key403/aes" << int(Healthy) << 0;
    QTest::newRow("key 404") << "key404/aes" << int(Healthy) << 0;
    QTest::newRow("key 500") << "key500/aes" << int(Healthy) << 0;
    QTest::newRow("key of 15 bytes") << "badkey/aes" << int(Healthy) << 0;
    QTest::newRow("wrong key") << "wrongkey/aes" << int(Healthy) << 4;
    QTest::newRow("connection reset mid-body") << "late/reset/long" << int(Healthy) << segments;
    QTest::newRow("body short of its length") << "late/cut/long" << int(Healthy) << segments;
    QTest::newRow("stall mid-body") << "late/stall/long" << int(Healthy) << segments;
    QTest::newRow("stall after the headers") << "late/hang/long" << int(Healthy) << segments;
    QTest::newRow("playlist of the wrong shape") << "badplaylist/plain" << int(Healthy) << 0;
    QTest::newRow("fragmented MP4") << "fmp4" << int(Healthy) << 0;
    QTest::newRow("redirect loop") << "loop/plain" << int(Healthy) << 0;
    QTest::newRow("working folder cannot be made") << "plain" << int(BelowAFile) << 0;
    QTest::newRow("disk full while writing segments") << "long" << int(FullAfterFirstBatch) << segments;
    QTest::newRow("disk full while merging") << "plain" << int(FullBeforeMerge) << 4;
}

// Every fault ends the task as failed within the transfer time-out, and what
// earlier batches brought stays on disk and in the store for a retry.
void TestNdDownloadEngine::faultMatrix()
{
    QFETCH(QString, lesson);
    QFETCH(int, place);
    QFETCH(int, kept);
    NdRowRecorder rows;
    QString folder;
    PrepareDownloadFolder(Place(place), lesson, &folder);
    if (folder.isEmpty())
        return;
    DownloadTaskParam_t task = LessonTask(lesson, 0, folder);
    if (place == BelowAFile)
        task.VideoTempPath = (m_downloads->filePath(QStringLiteral("blocker")) + "/~NdTemp/{x}").toStdString();
    // Sized so that the free-space check before each batch lets the task write.
    if (place == FullAfterFirstBatch || place == FullBeforeMerge)
        task.VideoFileSize = 0.001f;
    NdDownloadTaskManager scheduler;
    Queue(scheduler, task);
    QElapsedTimer clock;
    clock.start();
    scheduler.start();

    QVERIFY(NdWaitStoredState(task.VideoTempPath, Failed, kTaskTimeoutMs));
    const qint64 elapsed = clock.elapsed();
    QTRY_COMPARE(rows.LastReport(NdRowRecorder::RowKey(0)).State, int(Failed));
    QTRY_COMPARE(ReportCount(task, "download_fail"), 1);
    QCOMPARE(ReportCount(task, "download_success"), 0);
    QCOMPARE(QDir(folder).entryList({"*.mp4"}, QDir::Files), QStringList());
    int whole = 0;
    for (int i = 1; i <= kept; ++i) {
        QFile segment(QString::fromStdString(task.VideoTempPath) + QStringLiteral("/%1.ts").arg(i));
        const QByteArray source = m_platform.Get(SegmentUrl(lesson, i)).Body;
        whole += segment.open(QIODevice::ReadOnly) && !source.isEmpty() && segment.readAll() == source ? 1 : 0;
    }
    QCOMPARE(whole, kept);
    if (kept > 0)
        QVERIFY(NdStoredTask(task.VideoTempPath).VideoDownloadFileSize > 0.0f);
    // Bounded by the transfer time-out, with room for a loaded machine.
    QVERIFY2(elapsed < 3 * kTransferTimeoutMs, qPrintable(QString::number(elapsed)));
    qInfo("fault matrix: %-34s ended in state %d after %5.2f s, %d of %d earlier segments whole",
        QTest::currentDataTag(), int(Failed), elapsed / 1000.0, whole, kept);
}

QString TestNdDownloadEngine::SegmentUrl(const QString& lessonPath, int number) const
{
    const QString lesson = lessonPath.section(QLatin1Char('/'), -1);
    return m_platform.LessonUrl(lesson).replace(QStringLiteral("index.m3u8"), QStringLiteral("seg%1.ts").arg(number));
}

// The download folder of a case: the test's own, or a small filesystem of its
// own that leaves room for the first batch of segments but not the second, or
// for all segments but not the merged video.
void TestNdDownloadEngine::PrepareDownloadFolder(Place place, const QString& lesson, QString* folder)
{
    if (place == BelowAFile)
        QVERIFY(QFile(m_downloads->filePath(QStringLiteral("blocker"))).open(QIODevice::WriteOnly));
    if (place == Healthy || place == BelowAFile) {
        *folder = m_downloads->path();
        return;
    }
    const QString mountPoint = m_downloads->filePath(QStringLiteral("small-disk"));
    QDir().mkpath(mountPoint);
    if (QProcess::execute(QStringLiteral("mount"), {"-t", "tmpfs", "-o", "size=4m", "tmpfs", mountPoint}) != 0)
        QSKIP("mounting a small tmpfs needs root; the disk-full cases need a real full disk");
    m_mountPoint = mountPoint;
    // tmpfs hands out whole pages; the playlist and the task's own small files take a few.
    const auto pages = [](qint64 bytes) { return (bytes + 4095) / 4096 * 4096; };
    qint64 room = 16 * 4096;
    const int segments = place == FullAfterFirstBatch ? 5 : 4;
    for (int i = 1; i <= segments; ++i)
        room += pages(m_platform.Get(SegmentUrl(lesson, i)).Body.size());
    if (place == FullAfterFirstBatch)
        room += pages(m_platform.Get(SegmentUrl(lesson, 6)).Body.size()) / 2;
    QFile filler(mountPoint + QStringLiteral("/filler"));
    const qint64 fill = QStorageInfo(mountPoint).bytesAvailable() - room;
    QVERIFY(fill > 0 && filler.open(QIODevice::WriteOnly) && filler.write(QByteArray(fill, 'f')) == fill);
    *folder = mountPoint;
}

// A run that crashed or timed out may have left its small disks mounted.
void TestNdDownloadEngine::initTestCase()
{
    NdPlatformTestCase::initTestCase();
    QFile mounts(QStringLiteral("/proc/mounts"));
    QVERIFY(mounts.open(QIODevice::ReadOnly));
    for (const QByteArray& line : mounts.readAll().split('\n')) {
        const QString mountPoint = QString::fromLocal8Bit(line.split(' ').value(1));
        if (mountPoint.contains(QLatin1String("/TestNdDownloadEngine-"))
            && mountPoint.endsWith(QLatin1String("/small-disk")))
            QProcess::execute(QStringLiteral("umount"), {"-l", mountPoint});
    }
}

void TestNdDownloadEngine::cleanup()
{
    if (!m_mountPoint.isEmpty())
        QProcess::execute(QStringLiteral("umount"), {"-l", m_mountPoint});
    m_mountPoint.clear();
    NdPlatformTestCase::cleanup();
}

void TestNdDownloadEngine::playlistFormsDownloadWhole()
{
    NdRowRecorder rows;
    NdDownloadTaskManager scheduler;
    const QStringList forms = {"master", "redirect/plain", "crlf/plain2", "nolf/plain3", "crlf/aes"};
    QList<DownloadTaskParam_t> tasks;
    for (int i = 0; i < forms.size(); ++i)
        tasks.append(Queue(scheduler, LessonTask(forms[i], i)));
    scheduler.start();

    for (const DownloadTaskParam_t& task : tasks)
        QVERIFY2(NdWaitStoredState(task.VideoTempPath, Finished, kTaskTimeoutMs), task.VideoM3U8Url.c_str());
    const QStringList sources = {"master/v320x240", "plain", "plain2", "plain3", "aes"};
    for (int i = 0; i < forms.size(); ++i) {
        const double expected = SourceDuration(sources[i]);
        QVERIFY(expected > 1.0);
        const NdMediaInfo_t media = NdProbe(NdOutputPath(tasks[i]));
        QVERIFY2(qAbs(media.Duration - expected) <= 0.5, qPrintable(forms[i]));
        // Of the master playlist's variants, the one with the highest bandwidth.
        if (i == 0)
            QCOMPARE(media.Resolution, QStringLiteral("320x240"));
    }
    QCOMPARE(NdDecodeErrors(NdOutputPath(tasks[4])), QString());
}

void TestNdDownloadEngine::diskCheckStopsTask()
{
    NdRowRecorder rows;
    QTemporaryDir tight;
    QTemporaryDir roomyUnknown;
    QTemporaryDir tightUnknown;
    const qint64 mb = 1024 * 1024;
    const float sizeMb = 0.5f;
    const QString tightVolume = NdDiskCheckPath(tight.path());
    const QString roomyVolume = NdDiskCheckPath(roomyUnknown.path());
    NdDownloadTask::SetFreeBytesProbe([=](const QString& path) -> qint64 {
        if (path == tightVolume)
            return static_cast<qint64>(sizeMb * 3.0f * mb);
        if (path == roomyVolume)
            return static_cast<qint64>(kNdUnknownSizeFreeMarginMb + 1) * mb;
        return static_cast<qint64>(kNdUnknownSizeFreeMarginMb) * mb;
    });

    NdDownloadTaskManager scheduler;
    const DownloadTaskParam_t full = Queue(scheduler, LessonTask(QStringLiteral("plain"), 0, tight.path()));
    DownloadTaskParam_t unknown = LessonTask(QStringLiteral("plain2"), 1, roomyUnknown.path());
    unknown.VideoFileSize = 0.0f;
    unknown = Queue(scheduler, unknown);
    DownloadTaskParam_t unknownFull = LessonTask(QStringLiteral("plain3"), 2, tightUnknown.path());
    unknownFull.VideoFileSize = 0.0f;
    unknownFull = Queue(scheduler, unknownFull);
    scheduler.start();

    QVERIFY(NdWaitStoredState(full.VideoTempPath, NoDisk, kTaskTimeoutMs));
    QVERIFY(NdWaitStoredState(unknownFull.VideoTempPath, NoDisk, kTaskTimeoutMs));
    QVERIFY(NdWaitStoredState(unknown.VideoTempPath, Finished, kTaskTimeoutMs));
    QTRY_COMPARE(ReportCount(full, "download_disk_full"), 1);
    QTRY_COMPARE(ReportCount(unknownFull, "download_disk_full"), 1);
    QCOMPARE(rows.LastReport(NdRowRecorder::RowKey(0)).State, int(NoDisk));
    QCOMPARE(NdSegmentFileCount(full.VideoTempPath), 0);

    // Of unknown size, the task still counts and keeps the megabytes it fetched.
    QTRY_COMPARE(rows.LastReport(NdRowRecorder::RowKey(1)).State, int(Finished));
    const QList<NdRowReport_t> reports = rows.Reports(NdRowRecorder::RowKey(1));
    QCOMPARE(reports.first().State, int(Downloaded));
    QVERIFY(reports.first().Size > 0.05f);
    QCOMPARE(NdStoredTask(unknown.VideoTempPath).VideoDownloadFileSize, reports.first().Size);
    QCOMPARE(ReportCount(unknown, "download_success"), 1);
}

void TestNdDownloadEngine::connectionsLastTheWholeTask()
{
    NdRowRecorder rows;
    NdDownloadTaskManager scheduler;
    const DownloadTaskParam_t task = Queue(scheduler, LessonTask(QStringLiteral("long"), 0));
    scheduler.start();
    QVERIFY(NdWaitStoredState(task.VideoTempPath, Finished, kTaskTimeoutMs));

    // Twelve segments in three batches, over no more connections than a batch has places.
    int segments = 0;
    QSet<int> segmentConnections;
    for (const QJsonValue& request : m_platform.Requests()) {
        if (request.toObject().value("path").toString().endsWith(QLatin1String(".ts"))) {
            ++segments;
            segmentConnections.insert(request.toObject().value("connection").toInt());
        }
    }
    QCOMPARE(segments, 12);
    QVERIFY2(segmentConnections.size() <= kNdSegmentsPerBatch, qPrintable(QString::number(segmentConnections.size())));
    // The playlist comes on one more.
    QVERIFY(m_platform.Link().value("lessonConnections").toInt() <= kNdSegmentsPerBatch + 1);
}

void TestNdDownloadEngine::workersEndWithTheirTask()
{
    const QString threads = QStringLiteral("/proc/self/task");
    if (!QDir(threads).exists())
        QSKIP("needs /proc to count threads");
    const auto threadCount = [&threads] { return QDir(threads).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(); };
    NdRowRecorder rows;
    NdDownloadTaskManager scheduler;
    scheduler.start();
    const int threadsBefore = threadCount();

    const DownloadTaskParam_t finished = Queue(scheduler, LessonTask(QStringLiteral("long"), 0));
    const DownloadTaskParam_t failed = Queue(scheduler, LessonTask(QStringLiteral("seg404/long"), 1));
    DownloadTaskParam_t paused = Queue(scheduler, LessonTask(QStringLiteral("slow/long"), 2));
    const DownloadTaskParam_t deleted = Queue(scheduler, LessonTask(QStringLiteral("slow/long"), 3));
    // Both slow ones stop after their first batch of three.
    QTRY_VERIFY_WITH_TIMEOUT(!rows.Reports(NdRowRecorder::RowKey(2)).isEmpty(), kTaskTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(!rows.Reports(NdRowRecorder::RowKey(3)).isEmpty(), kTaskTimeoutMs);
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

void TestNdDownloadEngine::waitingForTheConverterShowsTranscoding()
{
    // A converter run that keeps the converter taken until the test lets it go:
    // ffmpeg waits on a named pipe as its one input.
    QTemporaryDir busy;
    const QByteArray pipe = QFile::encodeName(busy.filePath(QStringLiteral("1.ts")));
    QCOMPARE(::mkfifo(pipe.constData(), 0600), 0);
    QFile list(busy.filePath(QStringLiteral("filelist.txt")));
    QVERIFY(list.open(QIODevice::WriteOnly));
    list.write("file '1.ts'\n");
    list.close();
    std::unique_ptr<QThread> converter(QThread::create([&busy] {
        INdDownloaderBackEnd::GetInstance()->TranscodingVideo(
            busy.filePath(QStringLiteral("filelist.txt")).toStdString(),
            busy.filePath(QStringLiteral("NdTemp.mp4")).toStdString());
    }));
    converter->start();
    // A writer gets the pipe without waiting only once ffmpeg is opening it.
    int writer = -1;
    const auto openWriter = [&] {
        if (writer < 0)
            writer = ::open(pipe.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        return writer >= 0;
    };
    QTRY_VERIFY_WITH_TIMEOUT(openWriter(), kTaskTimeoutMs);

    NdRowRecorder rows;
    NdDownloadTaskManager scheduler;
    // Whichever way the test ends, the converter is freed before the tasks go.
    const auto freeConverter = qScopeGuard([&] {
        if (writer >= 0)
            ::close(writer);
        writer = -1;
        converter->wait();
    });
    QList<DownloadTaskParam_t> tasks;
    for (int i = 0; i < 2; ++i) {
        const DownloadTaskParam_t task = LessonTask(i == 0 ? QStringLiteral("plain") : QStringLiteral("plain2"), i);
        // An output left by an earlier attempt.
        QVERIFY(QDir().mkpath(QString::fromStdString(task.VideoTempPath)));
        QFile stale(QString::fromStdString(task.VideoTempPath + "/NdTemp.mp4"));
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.close();
        tasks.append(Queue(scheduler, task));
    }
    scheduler.start();
    for (int i = 0; i < tasks.size(); ++i) {
        QTRY_COMPARE_WITH_TIMEOUT(rows.LastReport(NdRowRecorder::RowKey(i)).State, int(Transcoding), kTaskTimeoutMs);
        QCOMPARE(NdStoredTask(tasks[i].VideoTempPath).VideoState, int(Transcoding));
        // Ready for their converter runs: merge list written, old output gone.
        const QString folder = QString::fromStdString(tasks[i].VideoTempPath);
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(folder + QStringLiteral("/NdTemp.mp4")), kTaskTimeoutMs);
        QVERIFY(QFileInfo::exists(folder + QStringLiteral("/filelist.txt")));
    }
    QVERIFY(converter->isRunning());

    // An empty input: that run fails and the converter is free.
    ::close(writer);
    writer = -1;
    QVERIFY(converter->wait(kTaskTimeoutMs));
    for (const DownloadTaskParam_t& task : tasks) {
        QVERIFY(NdWaitStoredState(task.VideoTempPath, Finished, kTaskTimeoutMs));
        QVERIFY(QFileInfo::exists(NdOutputPath(task)));
    }
}

QTEST_GUILESS_MAIN(TestNdDownloadEngine)
#include "TestNdDownloadEngine.moc"
