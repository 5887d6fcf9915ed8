// The store's files as a crash, a full disk or a hand edit may leave them. The
// input becomes "NdDownloadTasks.bin" (and the three settings files) in a
// private data folder; then the program's own calls read and change it.
#include "NdCore/NdCacheManager.h"
#include "NdFuzzKit.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <vector>

namespace {
// The store takes its folder once, from the first call: point it into the scratch folder first.
QString DataDir()
{
    qputenv("HOME", NdFuzzScratchDir().toLocal8Bit());
    QStandardPaths::setTestModeEnabled(true);
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    ND_FUZZ_CHECK(dir.startsWith(NdFuzzScratchDir()));
    ND_FUZZ_CHECK(QDir().mkpath(dir));
    return dir;
}

DownloadTaskParam_t NewTask()
{
    DownloadTaskParam_t task;
    task.VideoName = "fuzz";
    task.VideoM3U8Url = "https://cdn.test/fuzz.m3u8";
    task.VideoTempPath = "/videos/~NdTemp/{fuzz}";
    task.VideoDownloadPath = "/videos";
    return task;
}

void ReadSettings(NdCacheManager* store, const QString& dir, const QByteArray& bytes)
{
    for (const char* name : {"NdConfig.bin", "NdCrash.bin", "NdDownloadPath.bin"})
        ND_FUZZ_CHECK(NdFuzzWriteFile(dir + QLatin1Char('/') + QLatin1String(name), bytes));
    store->GetBackEndEnvironment();
    store->GetIsCrash();
    std::string path = "unchanged";
    store->GetLastDownloadPath(path);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QString dir = DataDir();
    static const QString taskFile = dir + QStringLiteral("/NdDownloadTasks.bin");
    static const QString asideFile = taskFile + QStringLiteral(".corrupt");
    NdCacheManager* store = NdCacheManager::GetInstance();

    const QByteArray bytes = NdFuzzBytes(data, size);
    QFile::remove(asideFile);
    ND_FUZZ_CHECK(NdFuzzWriteFile(taskFile, bytes));

    std::vector<DownloadTaskParam_t> tasks;
    store->GetDownloadTasks(tasks);
    // A resumed program first marks a task, then adds a new one.
    store->UpdateTaskState(tasks.empty() ? std::string("/nowhere") : tasks.front().VideoTempPath, 2);
    store->SaveOneDownloadTask(NewTask());

    // Whatever the file held, the list stays readable and keeps every task it could read.
    // A file it could not read is kept aside byte for byte before the new list replaces it.
    std::vector<DownloadTaskParam_t> after;
    ND_FUZZ_CHECK(store->GetDownloadTasks(after));
    if (QFile::exists(asideFile)) {
        ND_FUZZ_CHECK(NdFuzzReadFile(asideFile) == bytes);
        ND_FUZZ_CHECK(after.size() == 1);
    } else {
        // (More when the state change mends an entry that had only a bad state.)
        ND_FUZZ_CHECK(after.size() >= tasks.size() + 1);
    }
    ND_FUZZ_CHECK(after.front().VideoTempPath == NewTask().VideoTempPath);

    ReadSettings(store, dir, bytes);
    return 0;
}
