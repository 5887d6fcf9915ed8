#include "NdApp.h"
#include "NdInstanceChannel.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QSharedMemory>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

const char* const kSingleInstanceKey = "SingleInstanceIdentify";
const int kHandOverLimitMs = 15000;

// The desktop hands the URL over as the only argument (the .desktop file's
// %u); Qt's own options begin with "-" and hold no URL.
QString UrlArgument(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] != '-' && std::strchr(argv[i], ':'))
            return QString::fromLocal8Bit(argv[i]);
    }
    return QString();
}

// A segment left by an instance that was killed is still there, attached by
// nobody: attaching and detaching again removes it. Two rounds, as a first
// round can meet an instance that is just ending.
// On Linux the segment is found through a key file in the temporary folder.
// Once that file is gone (a cleaner removed it, or a new one reuses its inode)
// the stale segment can no longer be attached, but creating ours would still
// collide with it; with the file in place the rounds find and remove it.
void ClearStaleSegment(QSharedMemory& segment)
{
    const QString keyFile = segment.nativeKey();
    if (keyFile.startsWith(QLatin1Char('/')) && !QFileInfo::exists(keyFile)) {
        QFile file(keyFile);
        file.open(QIODevice::WriteOnly);
    }
    for (int round = 0; round < 2; ++round) {
        if (segment.attach(QSharedMemory::ReadOnly))
            segment.detach();
    }
}

// Another instance runs: it gets the URL, if there is one, and comes to the front.
int HandOverToRunningInstance(int argc, char** argv)
{
    const QString url = UrlArgument(argc, argv);
    if (url.isEmpty())
        return 0;
    QCoreApplication app(argc, argv);
    if (NdInstanceChannel::SendToRunning(url, kHandOverLimitMs))
        return 0;
    std::fprintf(stderr, "NdDownloader is already running but did not take the request.\n");
    return 1;
}

int g_quitPipe[2] = {-1, -1};

void OnQuitSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_quitPipe[1], &byte, 1);
}

// The session ends the program with SIGTERM at logout: it quits as if the
// window had been closed, so running tasks stay stored to resume and the
// segment is released. The handler only writes to a pipe; the event loop reads it.
void QuitOnTerminationSignals(QCoreApplication* app)
{
    if (::pipe(g_quitPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_quitPipe[0], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, &QCoreApplication::quit);
    std::signal(SIGTERM, OnQuitSignal);
    std::signal(SIGINT, OnQuitSignal);
    std::signal(SIGHUP, OnQuitSignal);
}

bool CanShowMessageBox()
{
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

void ReportStartFailure()
{
    const QString text = NdApp::BasicSettingsError();
    std::fprintf(stderr, "%s\n", qPrintable(text));
    if (CanShowMessageBox())
        QMessageBox::critical(nullptr, QStringLiteral("NdDownloader"), text);
}

} // namespace

int main(int argc, char* argv[])
{
    // Released by its destructor on every way out, the hand-over included.
    QSharedMemory segment{QLatin1String(kSingleInstanceKey)};
    ClearStaleSegment(segment);
    if (!segment.create(1, QSharedMemory::ReadWrite))
        return HandOverToRunningInstance(argc, argv);

    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps, true);
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);

    int exitCode = 0;
    {
        NdApp app(argc, argv);
        QuitOnTerminationSignals(&app);
        NdInstanceChannel channel;
        QObject::connect(&channel, &NdInstanceChannel::sigUrlReceived, &app, &NdApp::OpenUrl);
        channel.Listen();
        const QString url = UrlArgument(argc, argv);
        if (!url.isEmpty())
            app.OpenUrl(url);

        if (app.InitBasicSettings()) {
            app.Start();
        } else {
            ReportStartFailure();
            exitCode = 1;
        }
    }
    return exitCode;
}
