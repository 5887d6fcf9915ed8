// Assembly with the real ffmpeg on the sample platform's lessons: the merge and
// its length check, the move to a free name and its journal, the deletion of a
// task's files and nothing else.
#include "NdCore/NdCacheManager.h"
#include "NdCore/NdStopScope.h"
#include "NdEngineTestKit.h"
#include "NdTaskFolder.h"

#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QtTest>

#include <atomic>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
std::string Utf8(const QString& text)
{
    return text.toUtf8().toStdString();
}

const char* const kOwnFolder = "~NdTemp/{5d1c0000-0000-4000-8000-00000000000a}";

// Every file below a folder, with its content.
QMap<QString, QByteArray> FilesBelow(const QString& folder)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(path, NdReadFile(path));
    }
    return files;
}
} // namespace

class TestNdAssembly : public NdPlatformTestCase
{
    Q_OBJECT

private slots:
    void init();
    void mergeIsCheckedAgainstThePlaylist_data();
    void mergeIsCheckedAgainstThePlaylist();
    void mergeEndsAtItsStop();
    void moveVideoPicksAFreeName_data();
    void moveVideoPicksAFreeName();
    void deletionStaysInside_data();
    void deletionStaysInside();

private:
    QString DownloadFolder() const { return Downloads->path() + QStringLiteral("/my lessons/it's \"new\" & $HOME"); }
    QString TaskFolder() const { return DownloadFolder() + QLatin1Char('/') + QLatin1String(kOwnFolder); }
};

void TestNdAssembly::init()
{
    NdPlatformTestCase::init();
    QVERIFY(QDir().mkpath(TaskFolder()));
}

void TestNdAssembly::mergeIsCheckedAgainstThePlaylist_data()
{
    QTest::addColumn<QString>("lesson"); // and what is done to its task folder before the merge
    QTest::newRow("plain") << "plain";
    QTest::newRow("master") << "master";
    QTest::newRow("many segments") << "many";
    QTest::newRow("segments of uneven length") << "odd";
    // Without it ffmpeg would take the playlist for a live one and wait for more.
    QTest::newRow("no end tag, encrypted") << "nolf/aes";
    // Merged from the concat list, never from a local playlist an earlier run left.
    QTest::newRow("discontinuity") << "discontinuity/plain";
    QTest::newRow("wrong key") << "aes wrong key";
    QTest::newRow("segments missing") << "plain missing";
    // ffmpeg would fetch what the local playlist names by address.
    QTest::newRow("key named by address") << "aes address";
}

// The key is fetched once, in the playlist step, through the program's verified
// client, and ffmpeg merges from the task folder alone; a merge that does not
// last as long as the playlist says is no success, whatever ffmpeg's exit code.
// A whole merge holds every frame and sample that the segments hold, as the
// merge from the concat list (for an encrypted stream, from the playlist with
// network access) held them before.
void TestNdAssembly::mergeIsCheckedAgainstThePlaylist()
{
    QFETCH(QString, lesson);
    const QString damage = lesson.section(' ', 1);
    lesson = lesson.section(' ', 0, 0);
    const std::string url = Utf8(Platform.LessonUrl(lesson));
    QVERIFY(NdWriteFile(TaskFolder() + "/filelist.m3u8", "#EXTM3U\n#EXTINF:1,\nstale.ts\n#EXT-X-ENDLIST\n"));
    NdBackEnd().DownloadM3U8FileSync(url, Utf8(TaskFolder()), [] {}, {});
    std::vector<std::string> segments;
    QVERIFY(NdBackEnd().M3U8Parse(Utf8(TaskFolder()), url, segments) && !segments.empty());
    const QStringList keys = QDir(TaskFolder()).entryList({"filelist.key-*"}, QDir::Files);
    QCOMPARE(keys.size(), lesson.endsWith(QLatin1String("aes")) ? 1 : 0);
    QVERIFY(damage != "wrong key" || NdWriteFile(TaskFolder() + "/" + keys.first(), QByteArray(16, 'w')));
    const QString local = TaskFolder() + "/filelist.m3u8";
    const QString keyUrl = QString::fromStdString(url).replace("index.m3u8", "key.bin");
    QVERIFY(
        damage != "address" || NdWriteFile(local, NdReadFile(local).replace(keys.value(0).toUtf8(), keyUrl.toUtf8())));
    for (int i = 0; i < (damage == "missing" ? 1 : int(segments.size())); ++i) {
        const QByteArray body = Platform.Get(QString::fromStdString(segments[i])).Body;
        QVERIFY(!body.isEmpty() && NdWriteFile(TaskFolder() + QStringLiteral("/%1.ts").arg(i + 1), body));
    }
    QVERIFY(NdBackEnd().CreateFileList(Utf8(TaskFolder())));
    const QString output = TaskFolder() + "/NdTemp.mp4";
    QVERIFY(NdWriteFile(output, "left by an earlier run"));

    QCOMPARE(NdBackEnd().TranscodingVideo(Utf8(TaskFolder() + "/filelist.txt"), Utf8(output)), damage.isEmpty());
    QCOMPARE(PlatformRequests(QStringLiteral("/"), ".bin"), keys.size());
    // Nothing that an earlier run left passes for this one's result.
    QVERIFY(damage == "address" || NdReadFile(output) != "left by an earlier run");
    if (!damage.isEmpty())
        return;
    const QString before = Downloads->filePath(QStringLiteral("before.mp4"));
    const QStringList input = keys.isEmpty()
        ? QStringList{"-f", "concat", "-safe", "0", "-i", TaskFolder() + "/filelist.txt"}
        : QStringList{
            "-allowed_extensions", "ALL", "-protocol_whitelist", "file,http,https,tls,crypto,tcp", "-i", local};
    QCOMPARE(QProcess::execute("ffmpeg",
                 QStringList{"-nostdin", "-v", "error", "-y"} + input
                     + QStringList{"-vcodec", "copy", "-acodec", "copy", before}),
        0);
    for (const QString stream : {"v", "a"}) {
        const QString md5 = NdDecodedMd5(output, stream);
        QVERIFY(!md5.isEmpty());
        QCOMPARE(md5, NdDecodedMd5(before, stream));
    }
    // Through folders and a name full of characters a shell would take apart.
    const QString destination = DownloadFolder() + QStringLiteral("/第1课 \"intro\".mp4");
    const double seconds = NdPlaylistDuration(NdReadFile(TaskFolder() + "/index.m3u8"));
    QVERIFY(NdBackEnd().MoveVideo(Utf8(output), Utf8(destination)));
    QCOMPARE(NdDecodeErrors(destination), QString());
    QVERIFY(qAbs(NdProbe(destination).Duration - seconds) < 0.5);
    QVERIFY(NdTaskFolder::At(TaskFolder()).Remove());
    QVERIFY(!QFileInfo::exists(DownloadFolder() + "/~NdTemp"));
}

// A deleted task or a quitting program waits neither for its merge nor for
// another task's.
void TestNdAssembly::mergeEndsAtItsStop()
{
    // ffmpeg waits on a named pipe as its one input for as long as the pipe has a writer.
    const QByteArray pipe = QFile::encodeName(TaskFolder() + "/1.ts");
    QVERIFY(::mkfifo(pipe.constData(), 0600) == 0 && NdWriteFile(TaskFolder() + "/filelist.txt", "file '1.ts'\n"));
    std::atomic<bool> stop[2] = {{false}, {false}};
    std::atomic<int> refused{0};
    auto merge = [&](int i) {
        return QThread::create([&, i] {
            const NdStopScope scope([&] { return stop[i].load(); });
            refused
                += !NdBackEnd().TranscodingVideo(Utf8(TaskFolder() + "/filelist.txt"), Utf8(TaskFolder() + "/v.mp4"));
        });
    };
    const std::unique_ptr<QThread> running(merge(0)), waiting(merge(1));
    int writer = -1;
    const auto end = qScopeGuard([&] {
        stop[0] = stop[1] = true;
        ::close(writer);
        running->wait();
        waiting->wait();
    });
    running->start();
    // A writer gets the pipe without waiting only once ffmpeg is opening it.
    QTRY_VERIFY_WITH_TIMEOUT(
        (writer = writer >= 0 ? writer : ::open(pipe.constData(), O_WRONLY | O_NONBLOCK)) >= 0, kTaskTimeoutMs);
    waiting->start();
    stop[1] = true;
    QVERIFY(waiting->wait(kTransferTimeoutMs) && running->isRunning());
    stop[0] = true;
    QVERIFY(running->wait(kTransferTimeoutMs));
    QCOMPARE(refused.load(), 2);
}

void TestNdAssembly::moveVideoPicksAFreeName_data()
{
    QTest::addColumn<QStringList>("existing");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    QTest::newRow("two dots") << QStringList{"U 1.final.mp4", "U 1.final(1).mp4"} << "U 1.final.mp4"
                              << QStringLiteral("U 1.final(2).mp4");
    QTest::newRow("a dangling link") << QStringList{"@L.mp4"} << "L.mp4" << QStringLiteral("L(1).mp4");
}

void TestNdAssembly::moveVideoPicksAFreeName()
{
    QFETCH(QStringList, existing);
    QFETCH(QString, name);
    QFETCH(QString, expected);
    for (const QString& file : existing) {
        if (file.startsWith('@'))
            QVERIFY(QFile::link(Downloads->filePath("nowhere"), DownloadFolder() + "/" + file.mid(1)));
        else
            QVERIFY(NdWriteFile(DownloadFolder() + "/" + file, "old"));
    }
    const std::string merged = Utf8(TaskFolder() + "/NdTemp.mp4");
    QVERIFY(NdWriteFile(QString::fromStdString(merged), "merged"));
    QVERIFY(NdBackEnd().MoveVideo(merged, Utf8(DownloadFolder() + "/" + name)));
    QCOMPARE(NdReadFile(DownloadFolder() + "/" + expected), QByteArray("merged"));
    for (const QString& file : existing)
        QVERIFY(file.startsWith('@') || NdReadFile(DownloadFolder() + "/" + file) == "old");
    // A run killed after the rename moves nothing a second time.
    QCOMPARE(NdTaskFolder::At(TaskFolder()).MovedVideo(), DownloadFolder() + "/" + expected);
    QVERIFY(NdBackEnd().MoveVideo(merged, Utf8(DownloadFolder() + "/" + name)));
    QCOMPARE(QDir(DownloadFolder()).entryList(QDir::Files | QDir::System).size(), existing.size() + 1);
    // Another file under that name is no sign of the move.
    QVERIFY(NdWriteFile(DownloadFolder() + "/" + expected, "another video"));
    QCOMPARE(NdTaskFolder::At(TaskFolder()).MovedVideo(), QString());
}

void TestNdAssembly::deletionStaysInside_data()
{
    QTest::addColumn<QString>("folder"); // the stored working folder, in the download folder
    QTest::addColumn<QString>("name");   // the stored video name
    QTest::addColumn<int>("state");
    const QString linked = QStringLiteral("~NdTemp/{5d1c0000-0000-4000-8000-00000000000b}");
    QTest::newRow("own folder, finished") << kOwnFolder << "Lesson 1" << int(Finished);
    QTest::newRow("own folder, not finished") << kOwnFolder << "Lesson 1" << int(Downloading);
    QTest::newRow("climbs out of ~NdTemp") << "~NdTemp/.."
                                           << "Lesson 1" << int(Paused);
    QTest::newRow("a link to a folder outside") << linked << "Lesson 1" << int(Failed);
    QTest::newRow("~NdTemp is a link") << linked << "Lesson 1" << int(Failed);
    QTest::newRow("outside ~NdTemp") << "../outside"
                                     << "Lesson 1" << int(Failed);
    QTest::newRow("a name that climbs out") << kOwnFolder << "../../outside/secret" << int(Finished);
}

// A damaged or hostile store must not make a deletion reach anything but the
// task's own folder and its finished video.
void TestNdAssembly::deletionStaysInside()
{
    QFETCH(QString, folder);
    QFETCH(QString, name);
    QFETCH(int, state);
    const QString outside = Downloads->filePath(QStringLiteral("outside"));
    QVERIFY(QDir().mkpath(outside + "/" + folder.section('/', -1)));
    QVERIFY(NdWriteFile(outside + "/secret.mp4", "secret")
        && NdWriteFile(outside + "/" + folder.section('/', -1) + "/x", "x"));
    QVERIFY(NdWriteFile(TaskFolder() + "/1.ts", "segment"));
    for (const QString file : {"Lesson 1.mp4", "Lesson 1(1).mp4", "notes.txt"})
        QVERIFY(NdWriteFile(DownloadFolder() + "/" + file, file.toUtf8()));
    if (QByteArray(QTest::currentDataTag()) == "a link to a folder outside")
        QVERIFY(QFile::link(outside, DownloadFolder() + "/" + folder));
    if (QByteArray(QTest::currentDataTag()) == "~NdTemp is a link")
        QVERIFY(QDir(DownloadFolder() + "/~NdTemp").removeRecursively()
            && QFile::link(outside, DownloadFolder() + "/~NdTemp"));
    const QMap<QString, QByteArray> outsideBefore = FilesBelow(outside);
    QMap<QString, QByteArray> expected = FilesBelow(DownloadFolder());
    const bool own = folder == QLatin1String(kOwnFolder);
    if (own)
        expected.remove(TaskFolder() + "/1.ts");
    if (state == Finished && name == QLatin1String("Lesson 1"))
        expected.remove(DownloadFolder() + "/Lesson 1.mp4");

    DownloadTaskParam_t task;
    task.VideoName = Utf8(name);
    task.VideoState = state;
    task.VideoDownloadPath = Utf8(DownloadFolder());
    task.VideoTempPath = Utf8(DownloadFolder() + "/" + folder);
    NdCacheManager::GetInstance()->SaveOneDownloadTask(task);
    NdBackEnd().DeleteTask(task, true);
    QVERIFY(NdStoredTasks().empty());
    QCOMPARE(FilesBelow(outside), outsideBefore);
    QCOMPARE(FilesBelow(DownloadFolder()), expected);
    QVERIFY(!own || !QFileInfo::exists(TaskFolder()));
}

QTEST_GUILESS_MAIN(TestNdAssembly)
#include "TestNdAssembly.moc"
