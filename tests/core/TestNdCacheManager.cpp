#include "NdCore/NdCacheManager.h"
#include "NdCoreTestKit.h"
#include "NdTestEnv.h"

#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {
const QString kTaskFile = "NdDownloadTasks.bin";

QByteArray ReadBytes(const QString& fileName)
{
    return NdReadFile(NdTestDataDir() + "/" + fileName);
}

bool WriteBytes(const QString& fileName, const QByteArray& bytes)
{
    return QDir().mkpath(NdTestDataDir()) && NdWriteFile(NdTestDataDir() + "/" + fileName, bytes);
}

// The stored list as "<id>:<state>" items, newest first, each marked when it did not come back
// as NdMakeTask made it.
QString Stored()
{
    std::vector<DownloadTaskParam_t> tasks;
    if (!NdCacheManager::GetInstance()->GetDownloadTasks(tasks))
        return "no list";
    QStringList items;
    for (const DownloadTaskParam_t& task : tasks) {
        const QString id = QString::fromStdString(task.VideoTempPath).section('/', -1);
        const DownloadTaskParam_t made = NdMakeTask(id);
        const bool whole = task.AppId == made.AppId && task.UserId == made.UserId && task.VideoName == made.VideoName
            && task.VideoM3U8Url == made.VideoM3U8Url && task.VideoFileSize == made.VideoFileSize
            && task.VideoDownloadFileSize == made.VideoDownloadFileSize
            && task.VideoTranscodeFileSize == made.VideoTranscodeFileSize && task.VideoDuration == made.VideoDuration
            && task.VideoDownloadPath == made.VideoDownloadPath && !task.TaskItem;
        items << id + ":" + QString::number(task.VideoState) + (whole ? "" : "*");
    }
    return items.join(' ');
}

// Lowers the file size limit for the scope, so writes beyond it fail like on a full disk (the
// signal that would end the process stays ignored).
struct ScopedFileSizeLimit
{
    rlimit Saved{};
    explicit ScopedFileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &Saved);
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limited{bytes, Saved.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~ScopedFileSizeLimit() { setrlimit(RLIMIT_FSIZE, &Saved); }
};
} // namespace

class TestNdCacheManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void changesHitTheFirstFullMatch();
    void damagedFileIsKeptAside_data();
    void damagedFileIsKeptAside();
    void unreadableFileIsLeftAlone_data();
    void unreadableFileIsLeftAlone();
    void fullDiskKeepsOldFiles_data();
    void fullDiskKeepsOldFiles();
    void concurrentChangesLoseNothing();
    void progressAloneWaitsUpToASecond();

private:
    NdCacheManager* Store = nullptr;
};

void TestNdCacheManager::initTestCase()
{
    NdTestInitEnvironment();
    Store = NdCacheManager::GetInstance(); // takes its folder now, in test mode
}

void TestNdCacheManager::init()
{
    QDir(NdTestDataDir()).removeRecursively(); // writers must make the folder themselves
    Store->Reload();
}

void TestNdCacheManager::changesHitTheFirstFullMatch()
{
    QVERIFY(WriteBytes(kTaskFile, "// edited by hand\n[ 17 ]")); // what the store cannot read stays
    DownloadTaskParam_t older = NdMakeTask("same", Paused);
    older.TaskItem = reinterpret_cast<NdTaskItem*>(&older); // a pointer never stored
    Store->SaveOneDownloadTask(older);
    Store->SaveOneDownloadTask(NdMakeTask("other"));
    Store->SaveOneDownloadTask(NdMakeTask("same", Failed));
    QCOMPARE(Stored(), QString("same:4 other:0 same:1"));
    QVERIFY(ReadBytes(kTaskFile).startsWith("[\n   {\n      \"AppId\" : \"app-same\",\n      \"UserId\" : "));

    // Whole-record changes need the same name, playlist and temp path.
    for (std::string DownloadTaskParam_t::*member :
        {&DownloadTaskParam_t::VideoName, &DownloadTaskParam_t::VideoM3U8Url, &DownloadTaskParam_t::VideoTempPath}) {
        DownloadTaskParam_t stranger = NdMakeTask("same", Finished);
        stranger.*member += "-other";
        Store->UpdateOneDownloadTask(stranger);
        Store->DeleteOneDownloadTask(stranger);
    }
    QCOMPARE(Stored(), QString("same:4 other:0 same:1"));
    DownloadTaskParam_t changed = NdMakeTask("same", Finished);
    changed.VideoDownloadFileSize = 99.5f;
    Store->UpdateOneDownloadTask(changed);
    Store->UpdateTaskState("/downloads/~NdTemp/other", NoDisk); // by the temp path alone
    QCOMPARE(Stored(), QString("same:6* other:7 same:1"));
    Store->DeleteOneDownloadTask(older);
    Store->DeleteOneDownloadTask(NdMakeTask("other"));
    QCOMPARE(Stored(), QString("same:1"));
    Store->DeleteOneDownloadTask(older);
    QCOMPARE(ReadBytes(kTaskFile), QByteArray("[\n   17\n]\n"));
    Store->ClearDownloadTasks();
    QCOMPARE(Stored(), QString("no list"));
}

void TestNdCacheManager::damagedFileIsKeptAside_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("not json") << QByteArray("garbage{");
    QTest::newRow("cut in the middle") << QByteArray("[\n   {\n      \"AppId\" : \"app-a\",\n      \"UserId\" : \"u");
    QTest::newRow("object root") << QByteArray("{ \"VideoTempPath\" : \"/a\" }");
    QTest::newRow("nested too deep") << QByteArray(5000, '[');
}

void TestNdCacheManager::damagedFileIsKeptAside()
{
    QFETCH(QByteArray, content);
    QVERIFY(WriteBytes(kTaskFile, content));
    QCOMPARE(Stored(), QString("no list"));
    QCOMPARE(ReadBytes(kTaskFile), content); // reading changes nothing
    Store->SaveOneDownloadTask(NdMakeTask("new"));
    QCOMPARE(ReadBytes(kTaskFile + ".corrupt"), content);
    QCOMPARE(Stored(), QString("new:0"));
    // A second damaged file goes aside under a name of its own; the first copy stays.
    QVERIFY(WriteBytes(kTaskFile, "]]"));
    Store->Reload();
    Store->DeleteOneDownloadTask(NdMakeTask("new"));
    QCOMPARE(ReadBytes(kTaskFile + ".corrupt"), content);
    QCOMPARE(ReadBytes(kTaskFile + ".corrupt.1"), QByteArray("]]"));
    QVERIFY(!QFile::exists(NdTestDataDir() + "/" + kTaskFile));
}

void TestNdCacheManager::unreadableFileIsLeftAlone_data()
{
    QTest::addColumn<QString>("obstacle");
    QTest::newRow("a pipe in its place") << "pipe";   // opening it would wait for a writer
    QTest::newRow("too big to read whole") << "huge"; // Qt reads nothing of it, without an error
    QTest::newRow("no read permission") << "locked";
}

// While the task file cannot be read, every change is dropped rather than written over the
// user's list; once it can, the store works on it again.
void TestNdCacheManager::unreadableFileIsLeftAlone()
{
    QFETCH(QString, obstacle);
    if (obstacle == "locked" && geteuid() == 0)
        QSKIP("root reads a file without read permission");
    const QString path = NdTestDataDir() + "/" + kTaskFile;
    Store->SaveOneDownloadTask(NdMakeTask("kept"));
    QVERIFY(obstacle != "pipe" || (QFile::remove(path) && ::mkfifo(qPrintable(path), 0600) == 0));
    QVERIFY(obstacle != "huge" || QFile(path).resize(3LL << 30)); // sparse: no disk space taken
    QVERIFY(obstacle != "locked" || ::chmod(qPrintable(path), 0200) == 0);
    Store->Reload();
    const qint64 before = QFileInfo(path).size();
    Store->SaveOneDownloadTask(NdMakeTask("new"));
    Store->UpdateOneDownloadTask(NdMakeTask("kept", Finished));
    Store->UpdateTaskState("/downloads/~NdTemp/kept", Failed);
    Store->DeleteOneDownloadTask(NdMakeTask("kept"));
    QCOMPARE(Stored(), QString("no list"));
    QVERIFY(Store->TaskFileUnreadable());
    QCOMPARE(QFileInfo(path).size(), before);

    QVERIFY(obstacle == "locked" ? ::chmod(qPrintable(path), 0600) == 0 : QFile::remove(path));
    Store->SaveOneDownloadTask(NdMakeTask("new"));
    QVERIFY(!Store->TaskFileUnreadable());
    QCOMPARE(Stored(), QString(obstacle == "locked" ? "new:0 kept:0" : "new:0"));
}

void TestNdCacheManager::fullDiskKeepsOldFiles_data()
{
    QTest::addColumn<int>("nameBytes");
    QTest::addColumn<int>("limitBytes");
    QTest::newRow("a large write fails at once") << 64 * 1024 << 16 * 1024;
    // Small enough to sit in the file's buffer until the commit flushes it.
    QTest::newRow("a small write fails when flushed") << 4 * 1024 << 2 * 1024;
}

void TestNdCacheManager::fullDiskKeepsOldFiles()
{
    QFETCH(int, nameBytes);
    QFETCH(int, limitBytes);
    Store->SaveOneDownloadTask(NdMakeTask("kept"));
    Store->SetLastDownloadPath("/kept");
    const QByteArray before = ReadBytes(kTaskFile) + ReadBytes("NdDownloadPath.bin");
    DownloadTaskParam_t huge = NdMakeTask("kept");
    huge.VideoDownloadPath = std::string(static_cast<size_t>(nameBytes), 'n');
    {
        ScopedFileSizeLimit limit(limitBytes);
        Store->SaveOneDownloadTask(huge);
        Store->UpdateOneDownloadTask(huge);
        Store->SetLastDownloadPath(huge.VideoDownloadPath);
    }
    QCOMPARE(ReadBytes(kTaskFile) + ReadBytes("NdDownloadPath.bin"), before);
    QCOMPARE(QDir(NdTestDataDir()).entryList(QDir::Files).size(), 2); // no temporary file left over
    Store->SaveOneDownloadTask(huge);
    QCOMPARE(Stored(), QString("kept:0* kept:0"));
}

void TestNdCacheManager::concurrentChangesLoseNothing()
{
    // Each thread saves, marks, reads and then updates or deletes tasks of its own.
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([this, t]() {
            for (int n = 0; n < 15; ++n) {
                const QString id = QStringLiteral("%1-%2").arg(t).arg(n);
                Store->SaveOneDownloadTask(NdMakeTask(id));
                Store->UpdateTaskState("/downloads/~NdTemp/" + id.toStdString(), Downloading);
                std::vector<DownloadTaskParam_t> seen;
                Store->GetDownloadTasks(seen);
                if (n % 3 == 0)
                    Store->DeleteOneDownloadTask(NdMakeTask(id));
                else
                    Store->UpdateOneDownloadTask(NdMakeTask(id, Finished));
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    // Ten tasks of each thread stay, each once and with its update.
    QStringList stored = Stored().split(' ');
    QCOMPARE(stored.filter(QRegularExpression("^\\d-\\d+:6$")).size(), 8 * 10);
    QCOMPARE(stored.size(), 8 * 10);
    QCOMPARE(stored.removeDuplicates(), 0);
}

// A task thread stores its figures after every batch: alone, they reach the file at most once
// a second. A change of state takes them along at once, and Flush writes what still waits.
void TestNdCacheManager::progressAloneWaitsUpToASecond()
{
    Store->SaveOneDownloadTask(NdMakeTask("other"));
    DownloadTaskParam_t busy = NdMakeTask("busy", Downloading);
    Store->SaveOneDownloadTask(busy);
    const auto fileHolds = [](float megabytes) {
        return ReadBytes(kTaskFile).contains("\"VideoDownloadFileSize\" : " + QByteArray::number(megabytes) + ",");
    };
    const auto progress = [&](float megabytes) {
        busy.VideoDownloadFileSize = megabytes;
        Store->UpdateOneDownloadTask(busy);
        return fileHolds(megabytes);
    };
    QVERIFY(!progress(40.5f));
    Store->UpdateTaskState("/downloads/~NdTemp/other", Paused);
    QVERIFY(fileHolds(40.5f));
    QVERIFY(!progress(41.5f));
    Store->Flush();
    QVERIFY(fileHolds(41.5f));
    QElapsedTimer coming;
    coming.start();
    for (float megabytes = 42.5f; !progress(megabytes) && coming.elapsed() < 3000; megabytes += 1.0f)
        QTest::qWait(20);
    QVERIFY2(coming.elapsed() >= 900 && coming.elapsed() < 3000, qPrintable(QString::number(coming.elapsed())));
}

QTEST_GUILESS_MAIN(TestNdCacheManager)
#include "TestNdCacheManager.moc"
