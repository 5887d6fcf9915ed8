// Measures the program's start with a long history: the task list holds N
// finished tasks (their videos on disk), and the application object, the main
// window and its task list come up as the program brings them up, offscreen.
// Prints the CPU and wall time until the window is shown and idle, and the
// process's peak memory.
//
//   NdBenchStartup <tasks>
#include "NdApp.h"
#include "NdBenchHistory.h"
#include "NdBenchUsage.h"
#include "NdDownloader.h"

#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir home;
    qputenv("HOME", home.path().toLocal8Bit());
    qputenv("XDG_DATA_HOME", (home.path() + "/.local/share").toLocal8Bit());
    const int tasks = argc > 1 ? QByteArray(argv[1]).toInt() : 5000;
    NdApp app(argc, argv);
    if (!app.InitBasicSettings() || !NdWriteBenchHistory(tasks, home.path(), true))
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
