#include "NdCore/NdCacheManager.h"
#include "NdCore/NdDeploySettings.h"
#include "NdCore/NdLogManager.h"
#include "NdDownloaderBackEndImpl.h"
#include "NdEngineTestKit.h"
#include "NdTestEnv.h"
#include "NdTestHttpServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace {
NdDownloaderBackEndImpl& BackEnd()
{
    return *static_cast<NdDownloaderBackEndImpl*>(NdDownloaderInterface::INdDownloaderBackEnd::GetInstance());
}

std::string Utf8(const QString& text)
{
    return text.toUtf8().toStdString();
}

bool RunFfmpeg(const QStringList& arguments, const QString& workDir = QString())
{
    QProcess process;
    process.setWorkingDirectory(workDir);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(NdDownloaderBackEndImpl::FfmpegPath(), QStringList{"-v", "error", "-y"} + arguments);
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// ffmpeg processes that this test process started and that still run (Linux /proc).
int RunningFfmpegChildren()
{
    int count = 0;
    const QString self = QString::number(QCoreApplication::applicationPid());
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QString text = QString::fromUtf8(stat.readAll());
        const QStringList afterName = text.mid(text.lastIndexOf(QLatin1Char(')')) + 2).split(QLatin1Char(' '));
        if (text.contains(QStringLiteral("(ffmpeg)")) && afterName.size() > 1 && afterName.at(1) == self
            && afterName.at(0) != QLatin1String("Z"))
            ++count;
    }
    return count;
}

void WriteAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

class TestNdAssembly : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void ffmpegComesFromTheProgramFolder();
    void createFileList_data();
    void createFileList();
    void plainMergeThroughOddPaths();
    void mergeIsCheckedAgainstThePlaylist_data();
    void mergeIsCheckedAgainstThePlaylist();
    void ffmpegFailureReportsFalse();
    void twoMergesRunOneAfterTheOther();
    void moveVideoPicksAFreeName_data();
    void moveVideoPicksAFreeName();
    void failedMoveKeepsTheSegments();
    void deleteTask_data();
    void deleteTask();

private:
    QString DownloadFolder() const { return m_dir->path() + QStringLiteral("/my lessons/it's \"new\" & $HOME"); }
    QString TaskFolder() const { return DownloadFolder() + QStringLiteral("/~NdTemp/{5d1c-task}"); }
    void CopySegments(const QString& from, const QString& pattern, int firstNumber);

    QTemporaryDir m_media; // generated once: plain and encrypted segments
    int m_plainCount = 0;
    std::unique_ptr<QTemporaryDir> m_dir;
    NdTestHttpServer m_server{NdTestHttpServer::Tls};
};

void TestNdAssembly::initTestCase()
{
    NdTestInitEnvironment();
    NdLogManager::Install();
    QVERIFY(m_media.isValid());
    const QStringList source{"-f", "lavfi", "-i", "testsrc=duration=2:size=160x120:rate=10", "-f", "lavfi", "-i",
        "sine=frequency=440:duration=2", "-c:v", "libx264", "-preset", "ultrafast", "-g", "5", "-c:a", "aac",
        "-shortest"};
    QVERIFY(RunFfmpeg(source
        + QStringList{"-f", "segment", "-segment_time", "0.5", "-segment_format", "mpegts", "-segment_start_number",
            "1", m_media.filePath("plain%d.ts")}));
    m_plainCount = QDir(m_media.path()).entryList({"plain*.ts"}, QDir::Files).size();
    QVERIFY(m_plainCount >= 3);

    // An AES-128 stream as a content server would hold it: key, playlist, encrypted segments.
    WriteAll(m_media.filePath("key.bin"), QByteArray::fromHex("00112233445566778899aabbccddeeff"));
    WriteAll(m_media.filePath("keyinfo"), "key.bin\n" + m_media.filePath("key.bin").toUtf8() + "\n");
    QVERIFY(RunFfmpeg(source
            + QStringList{"-f", "hls", "-hls_time", "0.5", "-hls_list_size", "0", "-hls_key_info_file", "keyinfo",
                "-hls_segment_filename", "enc%d.ts", "enc.m3u8"},
        m_media.path()));

    QVERIFY(NdTestCa::Instance().Ok);
    NdDeploySettings settings = NdDeploySettings::Get();
    settings.TrustedCertificates = QSslCertificate::fromPath(NdTestCa::Instance().CaCertPath);
    NdDeploySettings::Set(settings);
    const QString keyPath = m_media.filePath("key.bin");
    m_server.Route("/lesson/key.bin", [keyPath](const NdTestRequest&) {
        return NdTestResponse::Text(ReadAll(keyPath), 200, "application/octet-stream");
    });
    QVERIFY(m_server.Start());
}

void TestNdAssembly::cleanupTestCase()
{
    m_server.Stop();
    NdLogManager::UnInstall();
}

void TestNdAssembly::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir().mkpath(TaskFolder()));
}

void TestNdAssembly::CopySegments(const QString& from, const QString& pattern, int firstNumber)
{
    for (int i = 0;; ++i) {
        const QString source = from + "/" + pattern.arg(firstNumber + i);
        if (!QFile::exists(source))
            break;
        QVERIFY(QFile::copy(source, TaskFolder() + QStringLiteral("/%1.ts").arg(i + 1)));
    }
}

void TestNdAssembly::ffmpegComesFromTheProgramFolder()
{
    QCOMPARE(NdDownloaderBackEndImpl::FfmpegPath(), QCoreApplication::applicationDirPath() + "/ffmpeg");
}

void TestNdAssembly::createFileList_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QByteArray>("list");
    QTest::newRow("three segments and x.TS") << QStringList{"1.ts", "2.ts", "3.ts", "x.TS", "index.m3u8",
        "playlist.url"} << QByteArray("file '1.ts'\nfile '2.ts'\nfile '3.ts'\n");
    QTest::newRow("no segments") << QStringList{"index.m3u8"} << QByteArray();
    QTest::newRow("names are not read, only counted")
        << QStringList{"7.ts", "a.b.ts"} << QByteArray("file '1.ts'\nfile '2.ts'\n");
}

void TestNdAssembly::createFileList()
{
    QFETCH(QStringList, files);
    QFETCH(QByteArray, list);
    for (const QString& name : files)
        WriteAll(TaskFolder() + "/" + name, "x");
    QVERIFY(QDir(TaskFolder()).mkdir("folder.ts"));
    QVERIFY(BackEnd().CreateFileList(Utf8(TaskFolder())));
    QCOMPARE(ReadAll(TaskFolder() + "/filelist.txt"), list);
    QVERIFY(QFile::exists(TaskFolder() + "/filelist.txt"));
    QVERIFY(!BackEnd().CreateFileList(Utf8(TaskFolder() + "/missing")));
    QVERIFY(!QFile::exists(TaskFolder() + "/missing/filelist.txt"));
}

void TestNdAssembly::plainMergeThroughOddPaths()
{
    CopySegments(m_media.path(), QStringLiteral("plain%1.ts"), 1);
    QVERIFY(BackEnd().CreateFileList(Utf8(TaskFolder())));
    const QString output = TaskFolder() + "/NdTemp.mp4";
    QVERIFY(BackEnd().TranscodingVideo(Utf8(TaskFolder() + "/filelist.txt"), Utf8(output)));
    QCOMPARE(NdDecodeErrors(output), QString());
    QVERIFY(qAbs(NdProbe(output).Duration - 2.0) < 0.3);

    const QString destination = DownloadFolder() + QStringLiteral("/第1课 \"intro\".mp4");
    QVERIFY(BackEnd().MoveVideo(Utf8(output), Utf8(destination)));
    QVERIFY(QFile::exists(destination));
    NdDownloaderBackEndImpl::RemoveWorkFolder(TaskFolder());
    QVERIFY(!QFileInfo::exists(DownloadFolder() + "/~NdTemp"));
}

void TestNdAssembly::mergeIsCheckedAgainstThePlaylist_data()
{
    QTest::addColumn<bool>("encrypted");
    QTest::addColumn<QByteArray>("wrongKey"); // written over the fetched key when not empty
    QTest::addColumn<int>("segmentsKept");    // -1: all
    QTest::addColumn<bool>("whole");
    QTest::newRow("plain") << false << QByteArray() << -1 << true;
    QTest::newRow("encrypted") << true << QByteArray() << -1 << true;
    QTest::newRow("encrypted, wrong key") << true << QByteArray(16, 'w') << -1 << false;
    QTest::newRow("plain, segments missing") << false << QByteArray() << 1 << false;
}

// The key is fetched once, in the playlist step, and ffmpeg merges from the
// task folder alone; a merge that does not last as long as the playlist says
// is no success, whatever ffmpeg's exit code.
void TestNdAssembly::mergeIsCheckedAgainstThePlaylist()
{
    QFETCH(bool, encrypted);
    QFETCH(QByteArray, wrongKey);
    QFETCH(int, segmentsKept);
    QFETCH(bool, whole);
    QByteArray playlist = ReadAll(m_media.filePath("enc.m3u8"));
    if (!encrypted)
        playlist = QByteArray("#EXTM3U\n") + QByteArray("#EXTINF:0.5,\nplain.ts\n").repeated(m_plainCount);
    WriteAll(TaskFolder() + "/index.m3u8", playlist);
    const int keyRequestsBefore = m_server.CountRequests("/lesson/key.bin");
    std::vector<std::string> segments;
    QVERIFY(BackEnd().M3U8Parse(Utf8(TaskFolder()), Utf8(m_server.BaseUrl() + "/lesson/index.m3u8"), segments));
    QVERIFY(!segments.empty());
    const QStringList keys = QDir(TaskFolder()).entryList({"filelist.key-*"}, QDir::Files);
    QCOMPARE(keys.size(), encrypted ? 1 : 0);
    if (!wrongKey.isEmpty())
        WriteAll(TaskFolder() + "/" + keys.first(), wrongKey);
    CopySegments(m_media.path(), encrypted ? QStringLiteral("enc%1.ts") : QStringLiteral("plain%1.ts"), !encrypted);
    for (int i = segmentsKept; i >= 0 && i < int(segments.size()); ++i)
        QFile::remove(TaskFolder() + QStringLiteral("/%1.ts").arg(i + 1));
    QVERIFY(BackEnd().CreateFileList(Utf8(TaskFolder())));

    const QString output = TaskFolder() + "/NdTemp.mp4";
    QCOMPARE(BackEnd().TranscodingVideo(Utf8(TaskFolder() + "/filelist.txt"), Utf8(output)), whole);
    QCOMPARE(m_server.CountRequests("/lesson/key.bin") - keyRequestsBefore, encrypted ? 1 : 0);
    if (whole) {
        QCOMPARE(NdDecodeErrors(output), QString());
        QVERIFY(qAbs(NdProbe(output).Duration - 2.0) < 0.3);
    }
}

void TestNdAssembly::ffmpegFailureReportsFalse()
{
    WriteAll(TaskFolder() + "/1.ts", "this is no transport stream");
    QVERIFY(BackEnd().CreateFileList(Utf8(TaskFolder())));
    const QString output = TaskFolder() + "/NdTemp.mp4";
    WriteAll(output, "left by an earlier run");
    QVERIFY(!BackEnd().TranscodingVideo(Utf8(TaskFolder() + "/filelist.txt"), Utf8(output)));
    QVERIFY(!QFile::exists(output));
    QVERIFY(!BackEnd().TranscodingVideo("", Utf8(output)));
    QVERIFY(!BackEnd().TranscodingVideo(Utf8(TaskFolder() + "/filelist.txt"), ""));
    // The failed run leaves no trace of a merged file to move.
    QVERIFY(!BackEnd().MoveVideo(Utf8(output), Utf8(DownloadFolder() + "/x.mp4")));
    QVERIFY(QFile::exists(TaskFolder() + "/1.ts"));

    // A local playlist that names anything by address is never handed to ffmpeg.
    WriteAll(TaskFolder() + "/filelist.m3u8",
        "#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"" + m_server.BaseUrl().toUtf8() + "/lesson/key.bin\"\n1.ts\n");
    const int keyRequests = m_server.CountRequests("/lesson/key.bin");
    QVERIFY(!BackEnd().TranscodingVideo(Utf8(TaskFolder() + "/filelist.txt"), Utf8(output)));
    QCOMPARE(m_server.CountRequests("/lesson/key.bin"), keyRequests);
}

void TestNdAssembly::twoMergesRunOneAfterTheOther()
{
    if (!QFileInfo::exists(QStringLiteral("/proc/self/stat")))
        QSKIP("needs /proc to watch the ffmpeg processes");
    const QString second = DownloadFolder() + QStringLiteral("/~NdTemp/{second}");
    QVERIFY(QDir().mkpath(second));
    CopySegments(m_media.path(), QStringLiteral("plain%1.ts"), 1);
    for (int i = 1; i <= m_plainCount; ++i)
        QVERIFY(QFile::copy(TaskFolder() + QStringLiteral("/%1.ts").arg(i), second + QStringLiteral("/%1.ts").arg(i)));

    std::atomic<int> merged{0};
    auto merge = [&merged](const QString& folder) {
        return QThread::create([&merged, folder]() {
            BackEnd().CreateFileList(Utf8(folder));
            if (BackEnd().TranscodingVideo(Utf8(folder + "/filelist.txt"), Utf8(folder + "/NdTemp.mp4")))
                ++merged;
        });
    };
    std::unique_ptr<QThread> first(merge(TaskFolder()));
    std::unique_ptr<QThread> other(merge(second));
    first->start();
    other->start();
    int mostAtOnce = 0;
    QElapsedTimer clock;
    clock.start();
    while (!(first->isFinished() && other->isFinished()) && clock.elapsed() < 60000) {
        mostAtOnce = qMax(mostAtOnce, RunningFfmpegChildren());
        QThread::msleep(2); // sampling: a merge runs for a good part of a second
    }
    QVERIFY(first->wait(5000) && other->wait(5000));
    QCOMPARE(merged.load(), 2);
    QCOMPARE(mostAtOnce, 1);
}

void TestNdAssembly::moveVideoPicksAFreeName_data()
{
    QTest::addColumn<QStringList>("existing");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    QTest::newRow("free") << QStringList() << "Lesson.mp4"
                          << "Lesson.mp4";
    QTest::newRow("taken") << QStringList{"Lesson.mp4"} << "Lesson.mp4"
                           << "Lesson(1).mp4";
    QTest::newRow("taken twice") << QStringList{"Lesson.mp4", "Lesson(1).mp4"} << "Lesson.mp4"
                                 << "Lesson(2).mp4";
    QTest::newRow("two dots") << QStringList{"Unit 1.final.mp4", "Unit 1(1).mp4"} << "Unit 1.final.mp4"
                              << "Unit 1(2).mp4";
    QTest::newRow("no dot") << QStringList{"name"} << "name"
                            << "name(1).name";
}

void TestNdAssembly::moveVideoPicksAFreeName()
{
    QFETCH(QStringList, existing);
    QFETCH(QString, name);
    QFETCH(QString, expected);
    for (const QString& file : existing)
        WriteAll(DownloadFolder() + "/" + file, "old");
    WriteAll(TaskFolder() + "/NdTemp.mp4", "merged");
    WriteAll(TaskFolder() + "/1.ts", "segment");

    QVERIFY(BackEnd().MoveVideo(Utf8(TaskFolder() + "/NdTemp.mp4"), Utf8(DownloadFolder() + "/" + name)));
    QCOMPARE(ReadAll(DownloadFolder() + "/" + expected), QByteArray("merged"));
    for (const QString& file : existing)
        QCOMPARE(ReadAll(DownloadFolder() + "/" + file), QByteArray("old"));
    // A run killed after the rename moves nothing a second time.
    QCOMPARE(NdDownloaderBackEndImpl::MovedVideoPath(TaskFolder()), DownloadFolder() + "/" + expected);
    QVERIFY(BackEnd().MoveVideo(Utf8(TaskFolder() + "/NdTemp.mp4"), Utf8(DownloadFolder() + "/" + name)));
    QCOMPARE(QDir(DownloadFolder()).entryList(QDir::Files).size(), existing.size() + 1);
    // Another file under that name is no sign of the move.
    WriteAll(DownloadFolder() + "/" + expected, "another video");
    QCOMPARE(NdDownloaderBackEndImpl::MovedVideoPath(TaskFolder()), QString());
}

void TestNdAssembly::failedMoveKeepsTheSegments()
{
    WriteAll(TaskFolder() + "/NdTemp.mp4", "merged");
    WriteAll(TaskFolder() + "/1.ts", "segment");
    QVERIFY(!BackEnd().MoveVideo(Utf8(TaskFolder() + "/NdTemp.mp4"), Utf8(DownloadFolder() + "/gone/Lesson.mp4")));
    QVERIFY(QFile::exists(TaskFolder() + "/NdTemp.mp4"));
    QVERIFY(QFile::exists(TaskFolder() + "/1.ts"));
}

void TestNdAssembly::deleteTask_data()
{
    QTest::addColumn<bool>("deleteLocalFile");
    QTest::addColumn<QString>("taskFolder"); // "gone": the record names a folder that no longer exists
    QTest::newRow("keep the video") << false << "task";
    QTest::newRow("delete the video") << true << "task";
    QTest::newRow("folder already gone") << true << "gone";
    QTest::newRow("no folder in the record") << false << "";
    // A damaged store must not make a deletion wipe a user's folder.
    QTest::newRow("folder outside ~NdTemp") << false << "outside";
}

void TestNdAssembly::deleteTask()
{
    QFETCH(bool, deleteLocalFile);
    QFETCH(QString, taskFolder);
    DownloadTaskParam_t task;
    task.VideoName = "Lesson 1";
    task.VideoDownloadPath = Utf8(DownloadFolder());
    WriteAll(TaskFolder() + "/1.ts", "segment");
    if (taskFolder == QLatin1String("task"))
        task.VideoTempPath = Utf8(TaskFolder());
    else if (taskFolder == QLatin1String("gone"))
        task.VideoTempPath = Utf8(DownloadFolder() + "/~NdTemp/{finished}");
    else if (taskFolder == QLatin1String("outside"))
        task.VideoTempPath = Utf8(DownloadFolder());
    WriteAll(DownloadFolder() + "/Lesson 1.mp4", "video");
    WriteAll(DownloadFolder() + "/Lesson 1(1).mp4", "numbered video");
    DownloadTaskParam_t other = task;
    other.VideoTempPath = Utf8(DownloadFolder() + "/~NdTemp/{other}");
    NdCacheManager* store = NdCacheManager::GetInstance();
    store->ClearDownloadTasks();
    store->SaveOneDownloadTask(task);
    store->SaveOneDownloadTask(other);

    BackEnd().DeleteTask(task, deleteLocalFile);
    QCOMPARE(QFileInfo::exists(TaskFolder()), taskFolder != QLatin1String("task"));
    QCOMPARE(QFile::exists(DownloadFolder() + "/Lesson 1.mp4"), !deleteLocalFile);
    QVERIFY(QFile::exists(DownloadFolder() + "/Lesson 1(1).mp4"));
    QVERIFY(QFileInfo::exists(DownloadFolder()));
    std::vector<DownloadTaskParam_t> stored;
    store->GetDownloadTasks(stored);
    QCOMPARE(int(stored.size()), 1);
    QCOMPARE(stored.front().VideoTempPath, other.VideoTempPath);
}

QTEST_GUILESS_MAIN(TestNdAssembly)
#include "TestNdAssembly.moc"
