// Every fault of the server, the lesson, the link and the disk, one row each,
// through the scheduler, the task and segment threads, the real backend, the
// HTTP client and ffmpeg against the sample platform.
#include "NdDownloadTaskManager.h"
#include "NdEngineTestKit.h"
#include "NdRetryPolicy.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QStorageInfo>
#include <QTest>

class TestNdDownloadFaults : public NdPlatformTestCase
{
    Q_OBJECT
private slots:
    void cleanup();
    void faultMatrix_data();
    void faultMatrix();

private:
    enum Place
    {
        Healthy,
        BelowAFile,          // the working folder cannot be made
        FullAfterFirstBatch, // a small disk with room for five segments
        FullBeforeMerge,     // a small disk with room for the segments only
    };

    void PrepareDownloadFolder(Place place, const QString& lesson, QString* folder);

    QString MountPoint;
};

void TestNdDownloadFaults::cleanup()
{
    if (!MountPoint.isEmpty())
        QProcess::execute(QStringLiteral("umount"), {"-l", MountPoint});
    MountPoint.clear();
    NdPlatformTestCase::cleanup();
}

void TestNdDownloadFaults::faultMatrix_data()
{
    QTest::addColumn<QString>("lesson");
    QTest::addColumn<int>("place");
    QTest::addColumn<int>("kept");          // whole segment files that must stay, at least
    QTest::addColumn<QString>("untouched"); // a path that no request may reach; "" for none
    // "<file> <status or fault>x<n>": the first n requests of that file of the
    // lesson fail; "" for none. Fewer than five end as a whole video.
    QTest::addColumn<QString>("transient");
    QTest::addColumn<QString>("counted"); // the lesson's file whose requests are counted; "" for none
    QTest::addColumn<int>("tries");
    // "late" faults hit seg7 of "long", asked for once two segments have arrived
    // (five in flight); its failure may stop the four others in flight.
    const int lateKept = 2;
    const QString none;
    // Permanent: at once, after one try. A transient fault that never ends: after five.
    QTest::newRow("segment 404") << "late/seg404/long" << int(Healthy) << lateKept << none << none << "seg7.ts" << 1;
    QTest::newRow("segment 500, always") << "late/seg500/long" << int(Healthy) << lateKept << none << none << "seg7.ts"
                                         << 5;
    QTest::newRow("playlist 404") << "playlist404/plain" << int(Healthy) << 0 << none << none << "index.m3u8" << 1;
    QTest::newRow("playlist 500, always")
        << "playlist500/plain" << int(Healthy) << 0 << none << none << "index.m3u8" << 5;
    QTest::newRow("key 403") << "key403/aes" << int(Healthy) << 0 << none << none << "key.bin" << 1;
    QTest::newRow("key 500, always") << "key500/aes" << int(Healthy) << 0 << none << none << "key.bin" << 5;
    QTest::newRow("key of 15 bytes") << "badkey/aes" << int(Healthy) << 0 << none << none << "key.bin" << 1;
    QTest::newRow("wrong key") << "wrongkey/aes" << int(Healthy) << 4 << none << none << none << 0;
    QTest::newRow("playlist of the wrong shape")
        << "badplaylist/plain" << int(Healthy) << 0 << none << none << none << 0;
    QTest::newRow("fragmented MP4") << "fmp4" << int(Healthy) << 0 << none << none << none << 0;
    QTest::newRow("redirect loop") << "loop/plain" << int(Healthy) << 0 << none << none << none << 0;
    // Only http and https, and https all the way: no local file is read.
    QTest::newRow("segment by file://") << "late/fileseg/long" << int(Healthy) << lateKept << none << none << none << 0;
    QTest::newRow("key by file://") << "filekey/aes" << int(Healthy) << 0 << none << none << none << 0;
    QTest::newRow("key over http, playlist over https")
        << "httpkey/aes" << int(Healthy) << 0 << "/lessons/httpkey/aes/key.bin" << none << none << 0;
    QTest::newRow("redirect from https to http")
        << "late/downgrade/long" << int(Healthy) << lateKept << "/lessons/late/long/seg7.ts" << none << none << 0;
    QTest::newRow("working folder cannot be made") << "plain" << int(BelowAFile) << 0 << none << none << none << 0;
    QTest::newRow("disk full while writing segments")
        << "long" << int(FullAfterFirstBatch) << 1 << none << none << none << 0;
    QTest::newRow("disk full while merging") << "plain" << int(FullBeforeMerge) << 4 << none << none << none << 0;
    // Transient: tried again until it goes. Which statuses are transient is
    // TestNdRetryPolicy's table; here one of them, and every kind of transport fault.
    const QStringList transient{"503x2", "500x4", "resetx1", "cutx1", "stallx1", "tricklex1"};
    for (const QString& fault : transient) {
        QTest::newRow(qPrintable("segment " + fault)) << "long" << int(Healthy) << 0 << none << "seg7.ts " + fault
                                                      << "seg7.ts" << fault.section('x', 1).toInt() + 1;
    }
    QTest::newRow("playlist 503x1") << "long" << int(Healthy) << 0 << none << "index.m3u8 503x1"
                                    << "index.m3u8" << 2;
    QTest::newRow("key resetx1") << "aes" << int(Healthy) << 0 << none << "key.bin resetx1"
                                 << "key.bin" << 2;
}

// Every fault that does not go away ends the task as failed within the
// transfer time-out and its retries, and what earlier batches brought stays on
// disk and in the store for a retry. A fault that goes away before the tries
// are spent ends as a whole video.
void TestNdDownloadFaults::faultMatrix()
{
    QFETCH(QString, lesson);
    QFETCH(int, place);
    QFETCH(int, kept);
    QFETCH(QString, untouched);
    QFETCH(QString, transient);
    QFETCH(QString, counted);
    QFETCH(int, tries);
    QString folder;
    PrepareDownloadFolder(Place(place), lesson, &folder);
    if (folder.isEmpty())
        return;
    const QString lessonFolder = QStringLiteral("/lessons/") + lesson + QLatin1Char('/');
    const QString fault = transient.section(' ', 1).section('x', 0, 0);
    const int times = transient.section('x', -1).toInt();
    QJsonObject rule{{"path", lessonFolder + transient.section(' ', 0, 0)}, {"first", times}};
    rule.insert(fault.toInt() > 0 ? "status" : "fault", fault.toInt() > 0 ? QJsonValue(fault.toInt()) : fault);
    QVERIFY(transient.isEmpty() || Platform.SetFaults(QJsonObject{{"rules", QJsonArray{rule}}}));
    DownloadTaskParam_t task = LessonTask(lesson, 0, folder);
    // Sized so that the free-space check before each batch lets the task write.
    if (place == FullAfterFirstBatch || place == FullBeforeMerge)
        task.VideoFileSize = 0.001f;
    NdDownloadTaskManager scheduler;
    Queue(scheduler, task);
    QElapsedTimer clock;
    clock.start();
    scheduler.start();
    if (!transient.isEmpty() && times < NdRetryPolicy::kMaxTries) {
        QVERIFY(NdWaitStoredState(task.VideoTempPath, Finished, kTaskTimeoutMs));
        QCOMPARE(PlatformRequests(lessonFolder + counted, ""), tries);
        QVERIFY(IsWhole(task, lesson));
        return;
    }
    QVERIFY(NdWaitStoredState(task.VideoTempPath, Failed, kTaskTimeoutMs));
    // Bounded by the transfer time-out and the retries, with room for a loaded machine.
    QVERIFY2(clock.elapsed() < 3 * kTransferTimeoutMs, qPrintable(QString::number(clock.elapsed())));
    QTRY_COMPARE(ReportCount(task, "download_fail"), 1);
    QCOMPARE(ReportCount(task, "download_success") + QDir(folder).entryList({"*.mp4"}, QDir::Files).size(), 0);
    // Every whole segment file is the segment the server sent.
    const QDir work(QString::fromStdString(task.VideoTempPath));
    const QStringList whole = work.entryList({"*.ts"}, QDir::Files);
    for (const QString& file : whole) {
        const QByteArray source = Platform.Get(SegmentUrl(lesson, file.chopped(3).toInt())).Body;
        QVERIFY2(!source.isEmpty() && NdReadFile(work.filePath(file)) == source, qPrintable(file));
    }
    QVERIFY2(whole.size() >= kept, qPrintable(whole.join(' ')));
    QVERIFY(kept == 0 || NdStoredTask(task.VideoTempPath).VideoDownloadFileSize > 0.0f);
    QVERIFY(untouched.isEmpty() || PlatformRequests(untouched, "") == 0);
    QVERIFY(counted.isEmpty() || PlatformRequests(lessonFolder + counted, "") == tries);
}

// The download folder of a case: the test's own, or a small filesystem of its
// own that leaves room for the first batch of segments but not the second, or
// for all segments but not the merged video.
void TestNdDownloadFaults::PrepareDownloadFolder(Place place, const QString& lesson, QString* folder)
{
    if (place == BelowAFile) // a file where "~NdTemp" would go
        QVERIFY(QFile(Downloads->filePath(QStringLiteral("~NdTemp"))).open(QIODevice::WriteOnly));
    if (place == Healthy || place == BelowAFile) {
        *folder = Downloads->path();
        return;
    }
    const QString mountPoint = Downloads->filePath(QStringLiteral("small-disk"));
    QDir().mkpath(mountPoint);
    if (QProcess::execute(QStringLiteral("mount"), {"-t", "tmpfs", "-o", "size=4m", "tmpfs", mountPoint}) != 0)
        QSKIP("mounting a small tmpfs needs root; the disk-full cases need a real full disk");
    MountPoint = mountPoint;
    // tmpfs hands out whole pages; the playlist and the task's own small files take a few.
    const auto pages = [](qint64 bytes) { return (bytes + 4095) / 4096 * 4096; };
    qint64 room = 16 * 4096;
    const int segments = place == FullAfterFirstBatch ? 5 : 4;
    for (int i = 1; i <= segments; ++i)
        room += pages(Platform.Get(SegmentUrl(lesson, i)).Body.size());
    if (place == FullAfterFirstBatch)
        room += pages(Platform.Get(SegmentUrl(lesson, 6)).Body.size()) / 2;
    QFile filler(mountPoint + QStringLiteral("/filler"));
    const qint64 fill = QStorageInfo(mountPoint).bytesAvailable() - room;
    QVERIFY(fill > 0 && filler.open(QIODevice::WriteOnly) && filler.write(QByteArray(fill, 'f')) == fill);
    *folder = mountPoint;
}

QTEST_GUILESS_MAIN(TestNdDownloadFaults)
#include "TestNdDownloadFaults.moc"
