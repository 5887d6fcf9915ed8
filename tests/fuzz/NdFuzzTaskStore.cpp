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
    ND_FUZZ_CHECK(dir.startsWith(NdFuzzScratchDir()) && QDir().mkpath(dir));
    return dir;
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
    ND_FUZZ_CHECK(NdWriteFile(taskFile, bytes));
    store->Reload();

    std::vector<DownloadTaskParam_t> tasks;
    store->GetDownloadTasks(tasks);
    // A resumed program first marks a task, then adds a new one.
    store->UpdateTaskState(tasks.empty() ? std::string("/nowhere") : tasks.front().VideoTempPath, 2);
    DownloadTaskParam_t added;
    added.VideoName = "fuzz";
    added.VideoM3U8Url = "https://cdn.test/fuzz.m3u8";
    added.VideoTempPath = "/videos/~NdTemp/{fuzz}";
    added.VideoDownloadPath = "/videos";
    store->SaveOneDownloadTask(added);

    // Whatever the file held, the list stays readable and keeps every task it
    // could read (more when the state change mends an entry that had only a bad
    // state). A file it could not read is kept aside byte for byte before the
    // new list replaces it.
    std::vector<DownloadTaskParam_t> after;
    ND_FUZZ_CHECK(store->GetDownloadTasks(after));
    ND_FUZZ_CHECK(QFile::exists(asideFile) ? NdReadFile(asideFile) == bytes && after.size() == 1
                                           : after.size() >= tasks.size() + 1);
    ND_FUZZ_CHECK(after.front().VideoTempPath == added.VideoTempPath);

    for (const char* name : {"NdConfig.bin", "NdCrash.bin", "NdDownloadPath.bin"})
        ND_FUZZ_CHECK(NdWriteFile(dir + QLatin1Char('/') + QLatin1String(name), bytes));
    store->GetBackEndEnvironment();
    store->GetIsCrash();
    std::string path;
    store->GetLastDownloadPath(path);
    return 0;
}
