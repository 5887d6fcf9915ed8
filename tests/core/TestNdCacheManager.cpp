#include "NdCore/NdCacheManager.h"
#include "NdTestEnv.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QtTest>

#include <json/json.h>

#include <csignal>
#include <set>
#include <sys/resource.h>
#include <thread>

namespace {
const char kTaskFile[] = "NdDownloadTasks.bin";

QString DataPath(const QString& fileName)
{
    return NdTestDataDir() + "/" + fileName;
}

QByteArray ReadBytes(const QString& fileName)
{
    QFile file(DataPath(fileName));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteBytes(const QString& fileName, const QByteArray& bytes)
{
    QDir().mkpath(NdTestDataDir());
    QFile file(DataPath(fileName));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
}

bool ParseStrict(const QByteArray& bytes, Json::Value& root)
{
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    return reader->parse(bytes.constData(), bytes.constData() + bytes.size(), &root, &errors);
}

DownloadTaskParam_t MakeTask(const QString& id, int state = Wait)
{
    DownloadTaskParam_t task;
    task.AppId = "app-" + id.toStdString();
    task.UserId = "user-" + id.toStdString();
    task.VideoM3U8Url = "http://127.0.0.1/" + id.toStdString() + ".m3u8";
    task.VideoName = "Lesson " + id.toStdString();
    task.VideoFileSize = 300.5f;
    task.VideoDownloadFileSize = 12.25f;
    task.VideoTranscodeFileSize = 0.1f;
    task.VideoDuration = 1800;
    task.VideoTempPath = "/downloads/~NdTemp/" + id.toStdString();
    task.VideoDownloadPath = "/downloads";
    task.VideoState = state;
    return task;
}

std::vector<DownloadTaskParam_t> StoredTasks()
{
    std::vector<DownloadTaskParam_t> tasks;
    NdCacheManager::GetInstance()->GetDownloadTasks(tasks);
    return tasks;
}

QStringList TempPaths(const std::vector<DownloadTaskParam_t>& tasks)
{
    QStringList paths;
    for (const DownloadTaskParam_t& task : tasks)
        paths << QString::fromStdString(task.VideoTempPath);
    return paths;
}

QString Describe(const DownloadTaskParam_t& t)
{
    const auto text = [](const std::string& s) { return QString::fromStdString(s); };
    const auto number = [](float f) { return QString::number(double(f), 'g', 9); };
    return QStringList({text(t.AppId), text(t.UserId), text(t.VideoM3U8Url), text(t.VideoName), number(t.VideoFileSize),
                           number(t.VideoDownloadFileSize), number(t.VideoTranscodeFileSize),
                           QString::number(t.VideoDuration), text(t.VideoTempPath), text(t.VideoDownloadPath),
                           QString::number(t.VideoState), t.TaskItem ? "item" : "no item"})
        .join('|');
}

// A stored task entry as text, for files the tests write by hand.
QByteArray EntryJson(const QString& id, const QByteArray& override = QByteArray())
{
    Json::Value entry(Json::objectValue);
    const DownloadTaskParam_t task = MakeTask(id);
    entry["AppId"] = task.AppId;
    entry["UserId"] = task.UserId;
    entry["VideoM3U8Url"] = task.VideoM3U8Url;
    entry["VideoName"] = task.VideoName;
    entry["VideoFileSize"] = 300.5;
    entry["VideoDownloadFileSize"] = 12.25;
    entry["VideoTranscodeFileSize"] = 0;
    entry["VideoDuration"] = 1800;
    entry["VideoTempPath"] = task.VideoTempPath;
    entry["VideoDownloadPath"] = task.VideoDownloadPath;
    entry["VideoState"] = 0;
    QByteArray text = QByteArray::fromStdString(entry.toStyledString()).trimmed();
    if (!override.isEmpty()) {
        text.chop(1); // the closing brace
        text += ", " + override + "}";
    }
    return text;
}

// Lowers the file size limit for the scope, so writes beyond it fail like on a full disk.
class ScopedFileSizeLimit
{
public:
    explicit ScopedFileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &m_saved);
        m_previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited = m_saved;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~ScopedFileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_previousHandler);
    }

private:
    rlimit m_saved{};
    void (*m_previousHandler)(int) = nullptr;
};
} // namespace

class TestNdCacheManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void savedTasksComeBackNewestFirst();
    void savingSameRecordTwiceGivesTwoEntries();
    void savedFileIsStyledJson();
    void deleteAndUpdateNeedAllThreeToMatch_data();
    void deleteAndUpdateNeedAllThreeToMatch();
    void deleteRemovesOneMatchPerCall();
    void deletingOnlyEntryRemovesFile();
    void updateWithoutFileWritesNull();
    void updatesChangeFirstMatchOnly();
    void clearRemovesTaskFile();
    void settingsRoundTripAndDefaults();
    void commentsBetweenEntriesAreRead();
    void entryOfWrongShapeIsSkipped_data();
    void entryOfWrongShapeIsSkipped();
    void unparseableTaskFileIsKeptAside_data();
    void unparseableTaskFileIsKeptAside();
    void failedWriteKeepsOldFile_data();
    void failedWriteKeepsOldFile();
    void concurrentChangesLoseNothing();
    void killedWriterLeavesWholeFile();

private:
    NdCacheManager* m_store = nullptr;
};

void TestNdCacheManager::initTestCase()
{
    NdTestInitEnvironment();
    m_store = NdCacheManager::GetInstance();
}

void TestNdCacheManager::init()
{
    // Every case starts without the data folder: writers must create it themselves.
    QDir(NdTestDataDir()).removeRecursively();
}

void TestNdCacheManager::savedTasksComeBackNewestFirst()
{
    DownloadTaskParam_t first = MakeTask("1", Downloading);
    first.TaskItem = reinterpret_cast<NdTaskItem*>(&first);
    first.VideoName = "\xe7\xac\xac\xe4\xb8\x80\xe8\xaf\xbe \"quoted\" \\ slash";
    const DownloadTaskParam_t second = MakeTask("2", Paused);
    DownloadTaskParam_t third = MakeTask("3", Finished);
    third.VideoTranscodeFileSize = 301.123f;
    third.VideoDuration = -5;
    m_store->SaveOneDownloadTask(first);
    m_store->SaveOneDownloadTask(second);
    m_store->SaveOneDownloadTask(third);

    std::vector<DownloadTaskParam_t> tasks(1, MakeTask("already there"));
    QVERIFY(m_store->GetDownloadTasks(tasks));
    QCOMPARE(tasks.size(), size_t(4));
    QCOMPARE(tasks[0].VideoTempPath, MakeTask("already there").VideoTempPath);
    DownloadTaskParam_t firstAsStored = first;
    firstAsStored.TaskItem = nullptr;
    QCOMPARE(Describe(tasks[1]), Describe(third));
    QCOMPARE(Describe(tasks[2]), Describe(second));
    QCOMPARE(Describe(tasks[3]), Describe(firstAsStored));
}

void TestNdCacheManager::savingSameRecordTwiceGivesTwoEntries()
{
    const DownloadTaskParam_t task = MakeTask("twice");
    m_store->SaveOneDownloadTask(task);
    m_store->SaveOneDownloadTask(task);
    const std::vector<DownloadTaskParam_t> tasks = StoredTasks();
    QCOMPARE(tasks.size(), size_t(2));
    QCOMPARE(Describe(tasks[0]), Describe(task));
    QCOMPARE(Describe(tasks[1]), Describe(task));
}

void TestNdCacheManager::savedFileIsStyledJson()
{
    DownloadTaskParam_t task;
    task.AppId = "app";
    task.UserId = "u1";
    task.VideoM3U8Url = "http://127.0.0.1/a.m3u8";
    task.VideoName = "Lesson";
    task.VideoFileSize = 3.25f;
    task.VideoDownloadFileSize = 1.5f;
    task.VideoDuration = 60;
    task.VideoTempPath = "/dl/~NdTemp/Lesson";
    task.VideoDownloadPath = "/dl";
    task.VideoState = Downloading;
    m_store->SaveOneDownloadTask(task);

    const QByteArray expected = "[\n"
                                "   {\n"
                                "      \"AppId\" : \"app\",\n"
                                "      \"UserId\" : \"u1\",\n"
                                "      \"VideoDownloadFileSize\" : 1.5,\n"
                                "      \"VideoDownloadPath\" : \"/dl\",\n"
                                "      \"VideoDuration\" : 60,\n"
                                "      \"VideoFileSize\" : 3.25,\n"
                                "      \"VideoM3U8Url\" : \"http://127.0.0.1/a.m3u8\",\n"
                                "      \"VideoName\" : \"Lesson\",\n"
                                "      \"VideoState\" : 2,\n"
                                "      \"VideoTempPath\" : \"/dl/~NdTemp/Lesson\",\n"
                                "      \"VideoTranscodeFileSize\" : 0.0\n"
                                "   }\n"
                                "]\n";
    QCOMPARE(ReadBytes(kTaskFile), expected);
}

void TestNdCacheManager::deleteAndUpdateNeedAllThreeToMatch_data()
{
    QTest::addColumn<QString>("differs");
    QTest::newRow("name") << "VideoName";
    QTest::newRow("playlist") << "VideoM3U8Url";
    QTest::newRow("temp path") << "VideoTempPath";
}

void TestNdCacheManager::deleteAndUpdateNeedAllThreeToMatch()
{
    QFETCH(QString, differs);
    const DownloadTaskParam_t stored = MakeTask("x", Paused);
    m_store->SaveOneDownloadTask(stored);
    const QByteArray before = ReadBytes(kTaskFile);

    DownloadTaskParam_t other = stored;
    other.VideoState = Finished;
    std::string& field = differs == "VideoName" ? other.VideoName
        : differs == "VideoM3U8Url"             ? other.VideoM3U8Url
                                                : other.VideoTempPath;
    field += "-other";
    m_store->DeleteOneDownloadTask(other);
    m_store->UpdateOneDownloadTask(other);
    QCOMPARE(ReadBytes(kTaskFile), before);

    // The state update goes by the temp path alone.
    m_store->UpdateTaskState(stored.VideoTempPath, Wait);
    const std::vector<DownloadTaskParam_t> tasks = StoredTasks();
    QCOMPARE(tasks.size(), size_t(1));
    QCOMPARE(tasks[0].VideoState, int(Wait));
}

void TestNdCacheManager::deleteRemovesOneMatchPerCall()
{
    const DownloadTaskParam_t older = MakeTask("same", Paused);
    DownloadTaskParam_t newer = older;
    newer.VideoState = Failed;
    m_store->SaveOneDownloadTask(older);
    m_store->SaveOneDownloadTask(MakeTask("other"));
    m_store->SaveOneDownloadTask(newer);

    m_store->DeleteOneDownloadTask(older);
    std::vector<DownloadTaskParam_t> tasks = StoredTasks();
    QCOMPARE(tasks.size(), size_t(2));
    QCOMPARE(TempPaths(tasks), QStringList({"/downloads/~NdTemp/other", "/downloads/~NdTemp/same"}));
    QCOMPARE(tasks[1].VideoState, int(Paused));

    m_store->DeleteOneDownloadTask(older);
    QCOMPARE(TempPaths(StoredTasks()), QStringList({"/downloads/~NdTemp/other"}));
}

void TestNdCacheManager::deletingOnlyEntryRemovesFile()
{
    m_store->DeleteOneDownloadTask(MakeTask("none"));
    QVERIFY(!QFile::exists(DataPath(kTaskFile)));

    const DownloadTaskParam_t task = MakeTask("only");
    m_store->SaveOneDownloadTask(task);
    QVERIFY(QFile::exists(DataPath(kTaskFile)));
    m_store->DeleteOneDownloadTask(task);
    QVERIFY(!QFile::exists(DataPath(kTaskFile)));

    std::vector<DownloadTaskParam_t> tasks(1, task);
    QVERIFY(!m_store->GetDownloadTasks(tasks));
    QCOMPARE(tasks.size(), size_t(1));
}

void TestNdCacheManager::updateWithoutFileWritesNull()
{
    m_store->UpdateOneDownloadTask(MakeTask("missing"));
    QCOMPARE(ReadBytes(kTaskFile), QByteArray("null\n"));
    std::vector<DownloadTaskParam_t> tasks;
    QVERIFY(m_store->GetDownloadTasks(tasks));
    QVERIFY(tasks.empty());

    m_store->UpdateTaskState("/nowhere", Paused);
    QCOMPARE(ReadBytes(kTaskFile), QByteArray("null\n"));

    m_store->SaveOneDownloadTask(MakeTask("new"));
    Json::Value root;
    QVERIFY(ParseStrict(ReadBytes(kTaskFile), root));
    QVERIFY(root.isArray());
    QCOMPARE(root.size(), 1u);
    QCOMPARE(root[0]["VideoTempPath"].asString(), std::string("/downloads/~NdTemp/new"));
    QVERIFY(QFile::exists(DataPath(QString(kTaskFile) + ".corrupt")) == false);
}

void TestNdCacheManager::updatesChangeFirstMatchOnly()
{
    const DownloadTaskParam_t task = MakeTask("t", Wait);
    m_store->SaveOneDownloadTask(task);
    m_store->SaveOneDownloadTask(MakeTask("u", Wait));
    m_store->SaveOneDownloadTask(task);

    DownloadTaskParam_t changed = task;
    changed.AppId = "app-changed";
    changed.UserId = "user-changed";
    changed.VideoFileSize = 1000.75f;
    changed.VideoDownloadFileSize = 999.5f;
    changed.VideoTranscodeFileSize = 1048.576f;
    changed.VideoDuration = 42;
    changed.VideoDownloadPath = "/elsewhere";
    changed.VideoState = Finished;
    m_store->UpdateOneDownloadTask(changed);
    std::vector<DownloadTaskParam_t> tasks = StoredTasks();
    QCOMPARE(tasks.size(), size_t(3));
    QCOMPARE(Describe(tasks[0]), Describe(changed));
    QCOMPARE(Describe(tasks[2]), Describe(task));

    m_store->UpdateTaskState(task.VideoTempPath, NoDisk);
    tasks = StoredTasks();
    QCOMPARE(tasks[0].VideoState, int(NoDisk));
    QCOMPARE(tasks[1].VideoState, int(Wait));
    QCOMPARE(tasks[2].VideoState, int(Wait));
}

void TestNdCacheManager::clearRemovesTaskFile()
{
    m_store->ClearDownloadTasks();
    m_store->SaveOneDownloadTask(MakeTask("a"));
    m_store->SaveOneDownloadTask(MakeTask("b"));
    m_store->ClearDownloadTasks();
    QVERIFY(!QFile::exists(DataPath(kTaskFile)));
    QVERIFY(StoredTasks().empty());
}

void TestNdCacheManager::settingsRoundTripAndDefaults()
{
    QCOMPARE(m_store->GetBackEndEnvironment(), 0);
    QCOMPARE(m_store->GetIsCrash(), false);
    std::string path = "stale";
    m_store->GetLastDownloadPath(path);
    QCOMPARE(path, std::string());

    m_store->SetBackEndEnvironment(Test);
    QCOMPARE(m_store->GetBackEndEnvironment(), 2);
    QCOMPARE(ReadBytes("NdConfig.bin"), QByteArray("{\n   \"Environment\" : 2\n}\n"));

    m_store->SetIsCrash(true);
    QCOMPARE(m_store->GetIsCrash(), true);
    QCOMPARE(ReadBytes("NdCrash.bin"), QByteArray("{\n   \"IsCrash\" : true\n}\n"));
    m_store->SetIsCrash(false);
    QCOMPARE(m_store->GetIsCrash(), false);

    const std::string folder = "/Users/\xe5\xbc\xa0\xe4\xb8\x89/Downloads \"lessons\"";
    m_store->SetLastDownloadPath(folder);
    m_store->GetLastDownloadPath(path);
    QCOMPARE(path, folder);

    // Hand-edited files: a member of another type or another root gives the default.
    WriteBytes("NdConfig.bin", "{ \"Environment\" : \"two\" }");
    QCOMPARE(m_store->GetBackEndEnvironment(), 0);
    WriteBytes("NdConfig.bin", "[ 1 ]");
    QCOMPARE(m_store->GetBackEndEnvironment(), 0);
    WriteBytes("NdConfig.bin", "/* edited */ { \"Environment\" : 1.0 }");
    QCOMPARE(m_store->GetBackEndEnvironment(), 1);
    WriteBytes("NdDownloadPath.bin", "{ \"LastDownloadPath\" : [] }");
    m_store->GetLastDownloadPath(path);
    QCOMPARE(path, std::string());
}

void TestNdCacheManager::commentsBetweenEntriesAreRead()
{
    WriteBytes(
        kTaskFile, "// tasks\n[\n" + EntryJson("a") + ",\n/* the second one */\n" + EntryJson("b") + " // last\n]\n");
    QCOMPARE(TempPaths(StoredTasks()), QStringList({"/downloads/~NdTemp/a", "/downloads/~NdTemp/b"}));

    m_store->SaveOneDownloadTask(MakeTask("c"));
    QCOMPARE(TempPaths(StoredTasks()),
        QStringList({"/downloads/~NdTemp/c", "/downloads/~NdTemp/a", "/downloads/~NdTemp/b"}));
    QVERIFY(!QFile::exists(DataPath(QString(kTaskFile) + ".corrupt")));
}

void TestNdCacheManager::entryOfWrongShapeIsSkipped_data()
{
    QTest::addColumn<QByteArray>("middle");
    QTest::addColumn<bool>("kept");
    QTest::addColumn<int>("state");
    QTest::addColumn<float>("size");

    QTest::newRow("state is a string") << EntryJson("m", "\"VideoState\" : \"x\"") << false << 0 << 0.0f;
    QTest::newRow("name is an object") << EntryJson("m", "\"VideoName\" : {}") << false << 0 << 0.0f;
    QTest::newRow("size is a string") << EntryJson("m", "\"VideoFileSize\" : \"1.5\"") << false << 0 << 0.0f;
    QTest::newRow("duration out of range") << EntryJson("m", "\"VideoDuration\" : 1e20") << false << 0 << 0.0f;
    QTest::newRow("size out of float range") << EntryJson("m", "\"VideoFileSize\" : 1e300") << false << 0 << 0.0f;
    QTest::newRow("number instead of object") << QByteArray("17") << false << 0 << 0.0f;
    QTest::newRow("array instead of object") << QByteArray("[ \"VideoTempPath\" ]") << false << 0 << 0.0f;
    QTest::newRow("state as a whole double") << EntryJson("m", "\"VideoState\" : 3.0") << true << 3 << 300.5f;
    QTest::newRow("size as an integer") << EntryJson("m", "\"VideoFileSize\" : 2") << true << 0 << 2.0f;
}

void TestNdCacheManager::entryOfWrongShapeIsSkipped()
{
    QFETCH(QByteArray, middle);
    QFETCH(bool, kept);
    QFETCH(int, state);
    QFETCH(float, size);
    // The reader keeps the last of two equal keys, so the override replaces the member.
    WriteBytes(kTaskFile, "[\n" + EntryJson("a") + ",\n" + middle + ",\n" + EntryJson("b") + "\n]\n");

    std::vector<DownloadTaskParam_t> tasks;
    QVERIFY(m_store->GetDownloadTasks(tasks));
    if (!kept) {
        QCOMPARE(TempPaths(tasks), QStringList({"/downloads/~NdTemp/a", "/downloads/~NdTemp/b"}));
    } else {
        QCOMPARE(
            TempPaths(tasks), QStringList({"/downloads/~NdTemp/a", "/downloads/~NdTemp/m", "/downloads/~NdTemp/b"}));
        QCOMPARE(tasks[1].VideoState, state);
        QCOMPARE(tasks[1].VideoFileSize, size);
    }

    // A change elsewhere in the list leaves an unreadable entry in place.
    m_store->UpdateTaskState("/downloads/~NdTemp/b", Paused);
    Json::Value root;
    QVERIFY(ParseStrict(ReadBytes(kTaskFile), root));
    QCOMPARE(root.size(), 3u);
    QCOMPARE(root[2]["VideoState"].asInt(), int(Paused));
}

void TestNdCacheManager::unparseableTaskFileIsKeptAside_data()
{
    QTest::addColumn<QByteArray>("content");

    QTest::newRow("not json") << QByteArray("garbage{");
    QTest::newRow("cut in the middle") << QByteArray("[\n" + EntryJson("a") + ",\n" + EntryJson("b").left(90));
    QTest::newRow("object root") << QByteArray("{ \"VideoTempPath\" : \"/a\" }");
    QTest::newRow("number root") << QByteArray("42");
    QTest::newRow("nested too deep") << QByteArray(5000, '[');
}

void TestNdCacheManager::unparseableTaskFileIsKeptAside()
{
    QFETCH(QByteArray, content);
    WriteBytes(kTaskFile, content);

    std::vector<DownloadTaskParam_t> tasks;
    QVERIFY(!m_store->GetDownloadTasks(tasks));
    QVERIFY(tasks.empty());
    QCOMPARE(ReadBytes(kTaskFile), content);

    m_store->SaveOneDownloadTask(MakeTask("new"));
    QCOMPARE(ReadBytes(QString(kTaskFile) + ".corrupt"), content);
    QCOMPARE(TempPaths(StoredTasks()), QStringList({"/downloads/~NdTemp/new"}));

    // A second damage replaces the older copy rather than blocking the store.
    WriteBytes(kTaskFile, "]]");
    m_store->DeleteOneDownloadTask(MakeTask("new"));
    QCOMPARE(ReadBytes(QString(kTaskFile) + ".corrupt"), QByteArray("]]"));
    QVERIFY(!QFile::exists(DataPath(kTaskFile)));
}

void TestNdCacheManager::failedWriteKeepsOldFile_data()
{
    QTest::addColumn<int>("nameBytes");
    QTest::addColumn<int>("limitBytes");
    QTest::newRow("a large write fails at once") << 64 * 1024 << 16 * 1024;
    // Small enough to sit in the file's buffer until the commit flushes it.
    QTest::newRow("a small write fails when flushed") << 4 * 1024 << 2 * 1024;
}

void TestNdCacheManager::failedWriteKeepsOldFile()
{
    QFETCH(int, nameBytes);
    QFETCH(int, limitBytes);
    m_store->SaveOneDownloadTask(MakeTask("kept"));
    m_store->SetLastDownloadPath("/kept");
    const QByteArray tasksBefore = ReadBytes(kTaskFile);
    const QByteArray pathBefore = ReadBytes("NdDownloadPath.bin");

    DownloadTaskParam_t huge = MakeTask("huge");
    huge.VideoName = std::string(static_cast<size_t>(nameBytes), 'n');
    {
        ScopedFileSizeLimit limit(limitBytes);
        m_store->SaveOneDownloadTask(huge);
        m_store->UpdateOneDownloadTask(huge);
        m_store->SetLastDownloadPath(huge.VideoName);
    }
    QCOMPARE(ReadBytes(kTaskFile), tasksBefore);
    QCOMPARE(ReadBytes("NdDownloadPath.bin"), pathBefore);
    QCOMPARE(QDir(NdTestDataDir()).entryList(QDir::Files).size(), 2);

    m_store->SaveOneDownloadTask(huge);
    QCOMPARE(StoredTasks().size(), size_t(2));
}

void TestNdCacheManager::concurrentChangesLoseNothing()
{
    const int threadCount = 8;
    const int tasksPerThread = 15;
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([this, t]() {
            for (int n = 0; n < tasksPerThread; ++n) {
                const QString id = QStringLiteral("%1-%2").arg(t).arg(n);
                m_store->SaveOneDownloadTask(MakeTask(id, Wait));
                m_store->UpdateTaskState(MakeTask(id).VideoTempPath, Downloading);
                std::vector<DownloadTaskParam_t> seen;
                m_store->GetDownloadTasks(seen); // readers run beside the writers
                DownloadTaskParam_t progressed = MakeTask(id, Downloading);
                progressed.VideoDownloadFileSize = float(n);
                if (n % 3 == 0)
                    m_store->DeleteOneDownloadTask(progressed);
                else
                    m_store->UpdateOneDownloadTask(progressed);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();

    // Every third task was deleted, every other one updated with its own size.
    const int keptPerThread = tasksPerThread - (tasksPerThread + 2) / 3;
    const std::vector<DownloadTaskParam_t> tasks = StoredTasks();
    QCOMPARE(tasks.size(), size_t(threadCount * keptPerThread));
    std::set<std::string> paths;
    for (const DownloadTaskParam_t& task : tasks) {
        paths.insert(task.VideoTempPath);
        QCOMPARE(task.VideoState, int(Downloading));
        const int n = QString::fromStdString(task.VideoTempPath).section('-', -1).toInt();
        QVERIFY(n % 3 != 0);
        QCOMPARE(task.VideoDownloadFileSize, float(n));
    }
    QCOMPARE(paths.size(), size_t(threadCount * keptPerThread));
}

void TestNdCacheManager::killedWriterLeavesWholeFile()
{
    const QString writer = QCoreApplication::applicationDirPath() + "/NdCacheWriterLoop";
    QVERIFY2(QFile::exists(writer), qPrintable(writer));
    const unsigned seedCount = 60;

    auto verifyWhole = [](const QByteArray& bytes, unsigned minimum) {
        Json::Value root;
        if (!ParseStrict(bytes, root) || !root.isArray() || root.size() < minimum)
            return false;
        for (const Json::Value& entry : root) {
            if (!entry.isObject() || entry.size() != 11 || !entry["VideoState"].isInt())
                return false;
        }
        return true;
    };

    for (int run = 0; run < 4; ++run) {
        QProcess process;
        process.start(writer, {QCoreApplication::applicationName()});
        QVERIFY(process.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(process.canReadLine() && process.peek(4096).contains("ready\n"), 10000);
        QCOMPARE(QString::fromUtf8(process.readLine()).trimmed(), NdTestDataDir());

        // Read beside the writer for a random moment, and at least until it has rewritten the
        // file once: every version of the file seen must be whole.
        const QByteArray atStart = ReadBytes(kTaskFile);
        QElapsedTimer timer;
        timer.start();
        const int window = 150 + QRandomGenerator::global()->bounded(200);
        int reads = 0;
        bool changed = false;
        while ((timer.elapsed() < window || !changed) && timer.elapsed() < 10000) {
            const QByteArray bytes = ReadBytes(kTaskFile);
            QVERIFY2(verifyWhole(bytes, seedCount), qPrintable(QString("run %1 read %2").arg(run).arg(reads)));
            changed = changed || bytes != atStart;
            ++reads;
        }
        QVERIFY2(changed, "the writer did not rewrite the file while it was read");

        process.kill();
        QVERIFY(process.waitForFinished(5000));
        QCOMPARE(process.exitStatus(), QProcess::CrashExit);
        QVERIFY2(verifyWhole(ReadBytes(kTaskFile), seedCount), qPrintable(QString("after kill %1").arg(run)));
        QVERIFY(!QFile::exists(DataPath(QString(kTaskFile) + ".corrupt")));
    }
}

QTEST_GUILESS_MAIN(TestNdCacheManager)
#include "TestNdCacheManager.moc"
