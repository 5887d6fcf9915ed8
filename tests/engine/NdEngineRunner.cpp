// Plays the program's engine for the restart tests: queues the stored tasks in
// Wait, Downloading and Transcoding, as the task list does at start-up, and runs
// the scheduler until none of them is left in work. Uses the store of the calling
// test (same HOME, Qt's test paths, the test's application name) and the
// deployment file given.
//
//   NdEngineRunner <NdDeploy.json> <transfer time-out ms> <application name>
#include "INdDownloaderBackEnd.h"
#include "NdDownloadTaskManager.h"

#include "NdCore/NdCacheManager.h"
#include "NdCore/NdDeploySettings.h"

#include <QCoreApplication>
#include <QStandardPaths>
#include <QTextStream>
#include <QTimer>

namespace {
bool IsQueuedAtStart(int state)
{
    return state == Wait || state == Downloading || state == Transcoding;
}

bool IsInWork(int state)
{
    return IsQueuedAtStart(state) || state == Downloaded;
}

bool AnyInWork(const std::vector<std::string>& tempPaths)
{
    std::vector<DownloadTaskParam_t> stored;
    NdCacheManager::GetInstance()->GetDownloadTasks(stored);
    for (const DownloadTaskParam_t& task : stored) {
        for (const std::string& path : tempPaths) {
            if (task.VideoTempPath == path && IsInWork(task.VideoState))
                return true;
        }
    }
    return false;
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 4)
        return 2;
    QCoreApplication::setApplicationName(QString::fromLocal8Bit(argv[3]));
    QStandardPaths::setTestModeEnabled(true);
    if (!NdDeploySettings::LoadFile(QString::fromLocal8Bit(argv[1])))
        return 3;
    NdDeploySettings settings = NdDeploySettings::Get();
    settings.TransferTimeoutMs = QByteArray(argv[2]).toInt();
    NdDeploySettings::Set(settings);
    NdDownloaderInterface::INdDownloaderBackEnd::GetInstance();

    std::vector<DownloadTaskParam_t> stored;
    if (!NdCacheManager::GetInstance()->GetDownloadTasks(stored))
        return 4;
    NdDownloadTaskManager scheduler;
    std::vector<std::string> queued;
    for (const DownloadTaskParam_t& task : stored) {
        if (IsQueuedAtStart(task.VideoState)) {
            scheduler.AddTask(task);
            queued.push_back(task.VideoTempPath);
        }
    }
    QTextStream(stdout) << "queued " << queued.size() << Qt::endl;
    scheduler.start();

    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        if (!AnyInWork(queued))
            app.quit();
    });
    poll.start(50);
    const int code = app.exec();
    scheduler.stop();
    scheduler.wait();
    return code;
}
