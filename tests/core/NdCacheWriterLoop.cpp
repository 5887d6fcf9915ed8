// Rewrites the task list in a tight loop until it is killed. TestNdCacheManager kills it in
// the middle of its writes and checks that the file it leaves behind is always whole.
#include "NdCore/NdCacheManager.h"
#include "NdCoreTestKit.h"

#include <QCoreApplication>
#include <QStandardPaths>

#include <cstdio>
#include <vector>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    // The same data folder as the test that starts this program: same HOME, test mode and
    // the application name it passes.
    QStandardPaths::setTestModeEnabled(true);
    if (argc > 1)
        QCoreApplication::setApplicationName(QString::fromLocal8Bit(argv[1]));
    NdCacheManager* store = NdCacheManager::GetInstance();

    const int seedCount = 60;
    std::vector<DownloadTaskParam_t> stored;
    store->GetDownloadTasks(stored);
    for (int i = static_cast<int>(stored.size()); i < seedCount; ++i)
        store->SaveOneDownloadTask(NdMakeTask(QString::number(i)));

    std::printf("%s\nready\n", QStandardPaths::writableLocation(QStandardPaths::AppDataLocation).toUtf8().constData());
    std::fflush(stdout);

    const DownloadTaskParam_t extra = NdMakeTask("extra");
    for (int round = 0;; round = (round + 1) % (seedCount * 9)) {
        const DownloadTaskParam_t changed = NdMakeTask(QString::number(round % seedCount), round % 9);
        store->SaveOneDownloadTask(extra);
        store->UpdateOneDownloadTask(changed);
        store->UpdateTaskState(changed.VideoTempPath, (round + 1) % 9);
        store->DeleteOneDownloadTask(extra);
    }
}
