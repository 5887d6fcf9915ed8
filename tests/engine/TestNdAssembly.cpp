// Assembly with the real ffmpeg on the sample platform's lessons: the merge and
// its length check, the move to a free name and its journal, the deletion of a
// task's files.
#include "NdCore/NdCacheManager.h"
#include "NdDownloaderBackEndImpl.h"
#include "NdEngineTestKit.h"

#include <QDir>
#include <QtTest>

namespace {
std::string Utf8(const QString& text)
{
    return text.toUtf8().toStdString();
}
} // namespace

class TestNdAssembly : public NdPlatformTestCase
{
    Q_OBJECT

private slots:
    void init();
    void mergeIsCheckedAgainstThePlaylist_data();
    void mergeIsCheckedAgainstThePlaylist();
    void moveVideoPicksAFreeName_data();
    void moveVideoPicksAFreeName();
    void deleteTask();

private:
    QString DownloadFolder() const { return m_downloads->path() + QStringLiteral("/my lessons/it's \"new\" & $HOME"); }
    QString TaskFolder() const { return DownloadFolder() + QStringLiteral("/~NdTemp/{5d1c-task}"); }
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
    QTest::newRow("encrypted") << "aes";
    QTest::newRow("wrong key") << "aes wrong key";
    QTest::newRow("segments missing") << "plain missing";
    QTest::newRow("no transport stream") << "plain junk";
    // ffmpeg would fetch what the local playlist names by address.
    QTest::newRow("key named by address") << "aes address";
}

// The key is fetched once, in the playlist step, through the program's verified
// client, and ffmpeg merges from the task folder alone; a merge that does not
// last as long as the playlist says is no success, whatever ffmpeg's exit code.
void TestNdAssembly::mergeIsCheckedAgainstThePlaylist()
{
    QFETCH(QString, lesson);
    const QString damage = lesson.section(' ', 1);
    lesson = lesson.section(' ', 0, 0);
    const std::string url = Utf8(m_platform.LessonUrl(lesson));
    NdBackEnd().DownloadM3U8FileSync(url, Utf8(TaskFolder()), [] {}, {});
    std::vector<std::string> segments;
    QVERIFY(NdBackEnd().M3U8Parse(Utf8(TaskFolder()), url, segments) && !segments.empty());
    const QStringList keys = QDir(TaskFolder()).entryList({"filelist.key-*"}, QDir::Files);
    QCOMPARE(keys.size(), lesson == QLatin1String("aes") ? 1 : 0);
    QVERIFY(damage != "wrong key" || NdWriteFile(TaskFolder() + "/" + keys.first(), QByteArray(16, 'w')));
    const QString local = TaskFolder() + "/filelist.m3u8";
    const QString keyUrl = QString::fromStdString(url).replace("index.m3u8", "key.bin");
    QVERIFY(
        damage != "address" || NdWriteFile(local, NdReadFile(local).replace(keys.value(0).toUtf8(), keyUrl.toUtf8())));
    for (int i = 0; i < (damage == "missing" ? 1 : int(segments.size())); ++i) {
        const QByteArray body
            = damage == "junk" ? "no transport stream" : m_platform.Get(QString::fromStdString(segments[i])).Body;
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
    // Through folders and a name full of characters a shell would take apart.
    const QString destination = DownloadFolder() + QStringLiteral("/第1课 \"intro\".mp4");
    QVERIFY(NdBackEnd().MoveVideo(Utf8(output), Utf8(destination)));
    QCOMPARE(NdDecodeErrors(destination), QString());
    QVERIFY(qAbs(NdProbe(destination).Duration - SourceDuration(lesson)) < 0.5);
    NdDownloaderBackEndImpl::RemoveWorkFolder(TaskFolder());
    QVERIFY(!QFileInfo::exists(DownloadFolder() + "/~NdTemp"));
}

void TestNdAssembly::moveVideoPicksAFreeName_data()
{
    QTest::addColumn<QStringList>("existing");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    QTest::newRow("taken twice") << QStringList{"L.mp4", "L(1).mp4"} << "L.mp4" << QStringLiteral("L(2).mp4");
    QTest::newRow("two dots") << QStringList{"U 1.final.mp4", "U 1(1).mp4"} << "U 1.final.mp4"
                              << QStringLiteral("U 1(2).mp4");
}

void TestNdAssembly::moveVideoPicksAFreeName()
{
    QFETCH(QStringList, existing);
    QFETCH(QString, name);
    QFETCH(QString, expected);
    for (const QString& file : existing)
        QVERIFY(NdWriteFile(DownloadFolder() + "/" + file, "old"));
    const std::string merged = Utf8(TaskFolder() + "/NdTemp.mp4");
    QVERIFY(NdWriteFile(QString::fromStdString(merged), "merged"));
    QVERIFY(NdBackEnd().MoveVideo(merged, Utf8(DownloadFolder() + "/" + name)));
    QCOMPARE(NdReadFile(DownloadFolder() + "/" + expected), QByteArray("merged"));
    for (const QString& file : existing)
        QCOMPARE(NdReadFile(DownloadFolder() + "/" + file), QByteArray("old"));
    // A run killed after the rename moves nothing a second time.
    QCOMPARE(NdDownloaderBackEndImpl::MovedVideoPath(TaskFolder()), DownloadFolder() + "/" + expected);
    QVERIFY(NdBackEnd().MoveVideo(merged, Utf8(DownloadFolder() + "/" + name)));
    QCOMPARE(QDir(DownloadFolder()).entryList(QDir::Files).size(), existing.size() + 1);
    // Another file under that name is no sign of the move.
    QVERIFY(NdWriteFile(DownloadFolder() + "/" + expected, "another video"));
    QCOMPARE(NdDownloaderBackEndImpl::MovedVideoPath(TaskFolder()), QString());
}

void TestNdAssembly::deleteTask()
{
    DownloadTaskParam_t task;
    task.VideoName = "Lesson 1";
    task.VideoDownloadPath = Utf8(DownloadFolder());
    DownloadTaskParam_t other = task;
    other.VideoTempPath = Utf8(DownloadFolder() + "/~NdTemp/{other}");
    NdCacheManager::GetInstance()->SaveOneDownloadTask(other);
    QVERIFY(NdWriteFile(TaskFolder() + "/1.ts", "segment") && NdWriteFile(DownloadFolder() + "/Lesson 1.mp4", "video"));
    QVERIFY(NdWriteFile(DownloadFolder() + "/Lesson 1(1).mp4", "numbered video"));
    // A damaged store must not make a deletion wipe a user's folder.
    for (const QString& folder : {DownloadFolder(), DownloadFolder() + "/~NdTemp/{gone}", TaskFolder()}) {
        task.VideoTempPath = Utf8(folder);
        NdCacheManager::GetInstance()->SaveOneDownloadTask(task);
        NdBackEnd().DeleteTask(task, folder == TaskFolder());
        QCOMPARE(QFileInfo::exists(TaskFolder()), folder != TaskFolder());
        QCOMPARE(QFile::exists(DownloadFolder() + "/Lesson 1.mp4"), folder != TaskFolder());
        QVERIFY(QFile::exists(DownloadFolder() + "/Lesson 1(1).mp4"));
        std::vector<DownloadTaskParam_t> stored;
        NdCacheManager::GetInstance()->GetDownloadTasks(stored);
        QVERIFY(stored.size() == 1 && stored.front().VideoTempPath == other.VideoTempPath);
    }
}

QTEST_GUILESS_MAIN(TestNdAssembly)
#include "TestNdAssembly.moc"
