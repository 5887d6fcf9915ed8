// Runs the program's own windows without a display, for scripts/demo on a
// machine that has none: the application object and the main window take a
// request URL as the desktop would hand it over; the driver accepts the folder
// dialog like a person would, waits until every task has ended, prints each
// file with its size and duration, and saves a screenshot of the main window.
//
//   NdDemoDriver <NdDeploy.json> <download folder> <request URL> <screenshot.png>
#include "NdApp.h"
#include "NdDownloader.h"
#include "NdSetDownloadPathDlg.h"
#include "NdTaskListView.h"

#include "NdCore/NdCacheManager.h"
#include "NdCore/NdDeploySettings.h"

#include <QAbstractButton>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>

#include <cstdio>

namespace {

const int kDemoLimitMs = 300000;

bool IsEnded(int state)
{
    return state == Finished || state == Failed || state == NoDisk || state == MissFile;
}

std::vector<DownloadTaskParam_t> StoredTasks()
{
    std::vector<DownloadTaskParam_t> tasks;
    NdCacheManager::GetInstance()->GetDownloadTasks(tasks);
    return tasks;
}

bool AllEnded(const std::vector<DownloadTaskParam_t>& tasks)
{
    return !tasks.empty()
        && std::all_of(tasks.begin(), tasks.end(), [](const DownloadTaskParam_t& t) { return IsEnded(t.VideoState); });
}

QString Duration(const QString& file)
{
    QProcess probe;
    probe.start(QStringLiteral("ffprobe"),
        {"-v", "error", "-show_entries", "format=duration", "-of", "default=noprint_wrappers=1:nokey=1", file});
    probe.waitForFinished(30000);
    return QString::fromUtf8(probe.readAllStandardOutput()).trimmed();
}

// Prints every task; true when all of them finished as playable files.
bool PrintResults(const std::vector<DownloadTaskParam_t>& tasks)
{
    bool allFinished = true;
    for (const DownloadTaskParam_t& task : tasks) {
        const QString file = QString::fromStdString(task.VideoDownloadPath + "/" + task.VideoName + ".mp4");
        const QString duration = task.VideoState == Finished ? Duration(file) : QString();
        const bool finished = task.VideoState == Finished && duration.toDouble() > 0.0;
        allFinished = allFinished && finished;
        std::printf("%-9s %s  %lld bytes  %s s\n", finished ? "finished" : "FAILED", qPrintable(file),
            static_cast<long long>(QFileInfo(file).size()), qPrintable(duration.isEmpty() ? "-" : duration));
    }
    std::fflush(stdout);
    return allFinished;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: NdDemoDriver <NdDeploy.json> <download folder> <request URL> <screenshot.png>\n");
        return 2;
    }
    QString error;
    if (!NdDeploySettings::LoadFile(QString::fromLocal8Bit(argv[1]), &error)) {
        std::fprintf(stderr, "cannot read the deployment settings: %s\n", qPrintable(error));
        return 2;
    }
    const QString folder = QDir(QString::fromLocal8Bit(argv[2])).absolutePath();
    const QString url = QString::fromLocal8Bit(argv[3]);
    const QString screenshot = QString::fromLocal8Bit(argv[4]);

    NdApp app(argc, argv);
    if (!app.InitBasicSettings()) {
        std::fprintf(stderr, "%s\n", qPrintable(NdApp::BasicSettingsError()));
        return 1;
    }
    // The folder dialog proposes the folder chosen last.
    QDir().mkpath(folder);
    NdCacheManager::GetInstance()->SetLastDownloadPath(folder.toStdString());
    app.OpenUrl(url);

    int exitCode = 1;
    const QDeadlineTimer deadline(kDemoLimitMs);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&]() {
        if (auto* dialog = qobject_cast<NdSetDownloadPathDlg*>(QApplication::activeModalWidget())) {
            std::printf("folder    %s\n", qPrintable(dialog->GetDir()));
            dialog->findChild<QAbstractButton*>(QStringLiteral("NdCloseDlg_OkBtn"))->click();
            return;
        }
        NdDownloader* window = app.GetMainWindow();
        const std::vector<DownloadTaskParam_t> tasks = StoredTasks();
        const bool ended = window && window->GetTaskListView()->GetItemCount() > 0 && AllEnded(tasks);
        if (!ended && !deadline.hasExpired())
            return;
        poll.stop();
        if (!ended)
            std::fprintf(stderr, "the downloads did not end in time\n");
        exitCode = (ended && PrintResults(tasks)) ? 0 : 1;
        if (window && window->grab().save(screenshot))
            std::printf("screenshot %s\n", qPrintable(screenshot));
        QCoreApplication::quit();
    });
    poll.start(100);
    app.Start();
    return exitCode;
}
