#include "NdApp.h"
#include "NdInstanceChannel.h"
#include "NdInstanceLock.h"

#include "NdCore/NdLogManager.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

const int kHandOverLimitMs = 15000;

// The desktop hands the URL over as the only argument (the .desktop file's
// %u); Qt's own options begin with "-" and hold no URL. A URL can carry an
// access token, and /proc/<pid>/cmdline shows the arguments to every user for
// as long as the program runs: once copied, the argument's bytes are zeroed.
// Nothing reads the URL from the arguments after this.
QString TakeUrlArgument(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] != '-' && std::strchr(argv[i], ':')) {
            const QString url = QString::fromLocal8Bit(argv[i]);
            std::memset(argv[i], 0, std::strlen(argv[i]));
            return url;
        }
    }
    return QString();
}

// Another instance of this user runs: it gets the URL, if there is one, and
// comes to the front.
int HandOverToRunningInstance(const QString& privateFolder, int argc, char** argv)
{
    const QString url = TakeUrlArgument(argc, argv);
    if (url.isEmpty())
        return 0;
    QCoreApplication app(argc, argv);
    if (NdInstanceChannel::SendToRunning(privateFolder, url, kHandOverLimitMs))
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
// hand-over socket is removed. The handler only writes to a pipe; the event
// loop reads it.
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
    // Held for the whole run; the kernel releases it however the process ends.
    NdInstanceLock instanceLock;
    const NdInstanceLock::Outcome mark = instanceLock.Acquire();
    if (mark == NdInstanceLock::HeldByPeer)
        return HandOverToRunningInstance(instanceLock.Folder(), argc, argv);
    // Logged once logging is up.
    QString guardProblem;
    if (mark == NdInstanceLock::Unavailable) {
        guardProblem = instanceLock.ErrorString() + QStringLiteral("; running without the single-instance guard");
        std::fprintf(stderr, "NdDownloader: %s\n", qPrintable(guardProblem));
    }

    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps, true);
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);

    int exitCode = 0;
    {
        NdApp app(argc, argv);
        QuitOnTerminationSignals(&app);
        NdInstanceChannel channel;
        QObject::connect(&channel, &NdInstanceChannel::sigUrlReceived, &app, &NdApp::OpenUrl);
        if (mark == NdInstanceLock::Acquired && !channel.Listen(instanceLock.Folder()))
            guardProblem = QStringLiteral("no hand-over socket: ") + channel.ErrorString();
        const QString url = TakeUrlArgument(argc, argv);
        if (!url.isEmpty())
            app.OpenUrl(url);

        if (app.InitBasicSettings()) {
            if (!guardProblem.isEmpty())
                ND_LOG(LogWarn, "%s", qUtf8Printable(guardProblem));
            app.Start();
        } else {
            ReportStartFailure();
            exitCode = 1;
        }
    }
    return exitCode;
}
