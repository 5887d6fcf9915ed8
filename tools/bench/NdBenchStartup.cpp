// Measures the program's start with a long history: the task list holds N
// finished tasks (their videos on disk), and the application object, the main
// window and its task list come up as the program brings them up, offscreen.
// Prints the CPU and wall time until the window is shown and idle, and the
// process's peak memory.
//
//   NdBenchStartup <tasks>
#include "NdApp.h"
#include "NdBenchUsage.h"
#include "NdDownloader.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUuid>

#include <cstdio>

namespace {

// The store as a long history leaves it: finished lessons, newest first.
bool WriteHistory(int tasks, const QString& videos)
{
    QJsonArray list;
    for (int i = tasks; i > 0; --i) {
        const QString name = QStringLiteral("第%1课 Lesson %1").arg(i);
        QFile video(videos + QLatin1Char('/') + name + QStringLiteral(".mp4"));
        if (!video.open(QIODevice::WriteOnly))
            return false;
        list.append(QJsonObject{{"AppId", "app"}, {"UserId", "user"},
            {"VideoM3U8Url", QStringLiteral("https://cdn.example.invalid/%1/index.m3u8").arg(i)}, {"VideoName", name},
            {"VideoFileSize", 120.5}, {"VideoDownloadFileSize", 120.5}, {"VideoTranscodeFileSize", 126.3},
            {"VideoDuration", 3600}, {"VideoTempPath", videos + "/~NdTemp/" + QUuid::createUuid().toString()},
            {"VideoDownloadPath", videos}, {"VideoState", 6}});
    }
    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QFile store(data + QStringLiteral("/NdDownloadTasks.bin"));
    return QDir().mkpath(data) && store.open(QIODevice::WriteOnly) && store.write(QJsonDocument(list).toJson()) > 0;
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir home;
    qputenv("HOME", home.path().toLocal8Bit());
    qputenv("XDG_DATA_HOME", (home.path() + "/.local/share").toLocal8Bit());
    const int tasks = argc > 1 ? QByteArray(argv[1]).toInt() : 5000;
    NdApp app(argc, argv);
    if (!app.InitBasicSettings() || !WriteHistory(tasks, home.path()))
        return 1;
    const double cpuBefore = NdCpuSeconds();
    QElapsedTimer clock;
    clock.start();
    NdDownloader* window = new NdDownloader(nullptr, std::string(), NdSoftVersion_t());
    window->setFixedSize(1080, 640);
    window->show();
    QCoreApplication::processEvents();
    const double cpu = NdCpuSeconds() - cpuBefore;
    const qint64 wall = clock.elapsed();
    std::printf("startup: %d stored tasks: %.2f s CPU, %.2f s wall, peak RSS %ld MB\n", tasks, cpu, wall / 1000.0,
        NdPeakRssMb());
    std::printf(
        "RESULT startup tasks=%d cpu_s=%.3f wall_s=%.3f peak_rss_mb=%ld\n", tasks, cpu, wall / 1000.0, NdPeakRssMb());
    delete window;
    return 0;
}
