// Rewrites the task list in a tight loop until it is killed. TestNdCacheManager kills it in
// the middle of its writes and checks that the file it leaves behind is always whole.
#include "NdCore/NdCacheManager.h"

#include <QCoreApplication>
#include <QStandardPaths>

#include <cstdio>
#include <string>
#include <vector>

namespace {
const size_t kSeedCount = 60;

DownloadTaskParam_t MakeTask(const std::string& id, int state)
{
    DownloadTaskParam_t task;
    task.AppId = "app-" + id;
    task.UserId = "user-" + id;
    task.VideoM3U8Url = "http://127.0.0.1/lesson/" + id + "/index.m3u8";
    task.VideoName = "Lesson " + id + " " + std::string(120, 'x');
    task.VideoFileSize = 512.25f;
    task.VideoDownloadFileSize = static_cast<float>(state) * 10.5f;
    task.VideoDuration = 3600;
    task.VideoTempPath = "/downloads/~NdTemp/" + id;
    task.VideoDownloadPath = "/downloads";
    task.VideoState = state;
    return task;
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // The same data folder as the test that starts this program: same HOME, test mode and
    // the application name it passes.
    QStandardPaths::setTestModeEnabled(true);
    if (argc > 1)
        QCoreApplication::setApplicationName(QString::fromLocal8Bit(argv[1]));
    NdCacheManager* store = NdCacheManager::GetInstance();

    std::vector<DownloadTaskParam_t> stored;
    store->GetDownloadTasks(stored);
    for (size_t i = stored.size(); i < kSeedCount; ++i)
        store->SaveOneDownloadTask(MakeTask(std::to_string(i), 0));

    std::printf("%s\nready\n", QStandardPaths::writableLocation(QStandardPaths::AppDataLocation).toUtf8().constData());
    std::fflush(stdout);

    const DownloadTaskParam_t extra = MakeTask("extra", 0);
    for (unsigned round = 0;; ++round) {
        const std::string id = std::to_string(round % kSeedCount);
        store->SaveOneDownloadTask(extra);
        store->UpdateOneDownloadTask(MakeTask(id, static_cast<int>(round % 9)));
        store->UpdateTaskState("/downloads/~NdTemp/" + id, static_cast<int>(round % 9));
        store->DeleteOneDownloadTask(extra);
    }
}
