// Runs the program's main job without its window: turns an access token into
// finished .mp4 files with the real backend and download engine, printing each
// task's state and progress as the store records it.
//
//   NdDemo <NdDeploy.json> <token> <download folder>
#include "INdDownloaderBackEnd.h"
#include "NdDownloadTaskManager.h"

#include "NdCore/NdCacheManager.h"
#include "NdCore/NdDeploySettings.h"
#include "NdCore/NdLogManager.h"

#include <QCoreApplication>
#include <QDir>
#include <QTimer>
#include <QUuid>

#include <cstdio>
#include <map>

namespace {
using NdDownloaderInterface::INdDownloaderBackEnd;

// Holds one work folder per task inside the download folder.
const QString kWorkRoot = QStringLiteral("~NdTemp");

const char* StateName(int state)
{
    static const char* names[] = {
        "waiting", "paused", "downloading", "downloaded", "failed", "merging", "finished", "disk full", "file missing"};
    return (state >= 0 && state <= MissFile) ? names[state] : "?";
}

bool IsInWork(int state)
{
    return state == Wait || state == Downloading || state == Downloaded || state == Transcoding;
}

std::vector<DownloadTaskParam_t> StoredTasks()
{
    std::vector<DownloadTaskParam_t> tasks;
    NdCacheManager::GetInstance()->GetDownloadTasks(tasks);
    return tasks;
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("NdDownloader"));
    if (argc != 4) {
        std::fprintf(stderr, "usage: NdDemo <NdDeploy.json> <token> <download folder>\n");
        return 2;
    }
    QString error;
    if (!NdDeploySettings::LoadFile(QString::fromLocal8Bit(argv[1]), &error)) {
        std::fprintf(stderr, "cannot read the deployment settings: %s\n", qPrintable(error));
        return 2;
    }
    NdLogManager::Install();
    const QString folder = QDir(QString::fromLocal8Bit(argv[3])).absolutePath();
    QDir().mkpath(folder);

    std::vector<DownloadTaskParam_t> tasks;
    if (!INdDownloaderBackEnd::GetInstance()->GetDownloadTaskByToken(argv[2], tasks) || tasks.empty()) {
        std::fprintf(stderr, "the platform gave no video for this token\n");
        return 1;
    }
    NdDownloadTaskManager scheduler;
    for (DownloadTaskParam_t& task : tasks) {
        const QString workFolder
            = folder + QLatin1Char('/') + kWorkRoot + QLatin1Char('/') + QUuid::createUuid().toString();
        QDir().mkpath(workFolder);
        task.VideoTempPath = workFolder.toStdString();
        task.VideoDownloadPath = folder.toStdString();
        scheduler.AddTask(task);
        NdCacheManager::GetInstance()->SaveOneDownloadTask(task);
        std::printf("queued   %s (%.2f MB)\n", task.VideoName.c_str(), task.VideoFileSize);
    }
    scheduler.start();

    std::map<std::string, std::pair<int, int>> shown; // temp path -> state, tenths of a MB
    int exitCode = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        bool inWork = false;
        for (const DownloadTaskParam_t& task : StoredTasks()) {
            const std::pair<int, int> now{task.VideoState, int(task.VideoDownloadFileSize * 10)};
            if (shown[task.VideoTempPath] != now) {
                shown[task.VideoTempPath] = now;
                std::printf("%-12s %-40s %7.2f MB\n", StateName(task.VideoState), task.VideoName.c_str(),
                    task.VideoState == Finished ? task.VideoTranscodeFileSize : task.VideoDownloadFileSize);
                std::fflush(stdout);
            }
            inWork = inWork || IsInWork(task.VideoState);
            exitCode = (task.VideoState == Finished || IsInWork(task.VideoState)) ? exitCode : 1;
        }
        if (!inWork)
            app.quit();
    });
    poll.start(200);
    app.exec();
    scheduler.stop();
    scheduler.wait();
    // Finished tasks remove their own work folders; the root goes once nothing is left in it.
    QDir(folder).rmdir(kWorkRoot);
    std::printf("%s: videos in %s\n", exitCode == 0 ? "done" : "some videos failed", qPrintable(folder));
    NdLogManager::UnInstall();
    return exitCode;
}
