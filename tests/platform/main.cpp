// NdSamplePlatform: a local stand-in for the teaching platform's servers, on
// 127.0.0.1 over HTTPS, for the tests and for demonstrations of the program.

#include "NdSampleLessons.h"
#include "NdSamplePlatform.h"
#include "NdTestHttpServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {
int g_quitPipe[2] = {-1, -1};

const char* const kDescription = R"(Serves the teaching platform's API and sample HLS lessons on 127.0.0.1 over HTTPS,
with a test certificate authority made at start-up. Prints exactly one line
"NdSamplePlatform listening on https://127.0.0.1:<port>" on stdout once the lessons are ready.

Server API:
  POST /alive_b/alive_download/get_download_data   body {"token": "<token>"}
  POST /alive_b/alive_download/get_download_link/  the version document (see /_control/version)
  POST /error_report                               stores the report document
  GET  /_reports     the stored reports, as a JSON array
  GET  /_requests    the request log (method, path, query, body, headers, connection), without /_ paths,
                     of both servers: the lesson files are also served over plain http on a second port
  POST /_control/version   body = the JSON that get_download_link answers from now on
  POST /_control/reset     clears reports, the request log and the faults, restores the version document
  POST /_control/faults    faults that come and go, until the next reset:
                           {"rules": [{"path", "first", "status", "retryAfter"} or {"path", "first", "fault":
                           "reset" | "cut" | "stall" | "trickle"}], "flaky": {"probability", "seed"}}; a rule
                           hits the first N requests of its exact path, flaky mode fails lesson files at random
                           (repeatably per seed, path and attempt) with 503 or a reset
  POST /_control/link      body {"firstByteDelayMs", "connectionDelayMs", "bytesPerSecond"}:
                           link shaping from now on (see the options below); zeroes the counters
  GET  /_link        the shape; connections and TLS handshakes accepted since it was set; from the
                     request log, the connections and handshakes that served lesson files
  GET  /installer/NdDownloader.dmg   a stand-in disk image

Token: lesson paths separated by commas, e.g. "plain,aes,slow/plain";
  a lesson path is [switch/]...<lesson>[#<percent-encoded title>]. Special whole tokens: "demo" (plain,plain2,aes),
  "wrong-shape" (members of the wrong JSON types), "not-json" (an HTML page),
  "empty" ({"code":0,"data":{}}).
  An unknown lesson or switch answers {"code": 1, "msg": ...}.
Lessons (4 s, 1 s segments seg1..seg4, playlist index.m3u8):
  plain, plain2, plain3  distinct clear streams (size as text, number, text)
  long                   12 s, seg1..seg12 (more than one batch of five)
  many                   200 s, seg1..seg200 at 160x120 (soaks)
  odd                    8 s, seg1..seg5 of 2.28, 1.52 and 1.16 s at 160x120 (key frames every 0.76 s)
  aes                    AES-128, key URI "key.bin" relative to the playlist
  master                 master playlist: 160x120, 320x240 (highest, in the middle), 256x144
  fmp4                   fragmented MP4 with #EXT-X-MAP init.mp4
With --bench-lessons also (made on first use, a few minutes, cached apart):
  bench600               600 s, 600 segments of 1 s, 640x360 at 800 kbit/s
  bench720               240 s, 60 segments of 4 s, 1280x720 at 2.5 Mbit/s
  benchaes               150 s, 150 segments of 1 s, 640x360 at 800 kbit/s, AES-128
Switches (stateless, composable; segment faults hit segment 2, with "late" segment 7):
  seg403 seg404 seg500               the segment answers that status
  playlist403 playlist404 playlist500 the playlists answer that status
  key403 key404 key500               the AES key answers that status
  badkey       the key is 15 bytes    wrongkey  the key is 16 other bytes
  cut          the segment's body ends half-way, short of its Content-Length
  reset        the segment's connection is reset half-way
  stall        the segment stalls half-way      hang    it stalls right after its headers
  trickle      the segment comes 256 bytes every half second
  slow         every segment in pieces, ~1 s each
  mixed        segment URIs absolute, root-relative, with query
  crlf         CRLF line endings      nolf     no #EXT-X-ENDLIST and no final line feed
  discontinuity  an #EXT-X-DISCONTINUITY before the segment
  redirect     playlist answers 302 to /moved/<rest>/; files only there
  loop         playlist answers 302 to itself, for ever
  badplaylist  playlist answered with an HTML page
  fileseg      the segment is named by a file:// address of its file on this machine
  filekey      the key is named by a file:// address      httpkey   by its address on the plain http server
  downgrade    the segment answers 302 to its address on the plain http server
Lesson URL: https://127.0.0.1:<port>/lessons/<lesson path>/index.m3u8)";

void OnQuitSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_quitPipe[1], &byte, 1);
}

// Ctrl+C and SIGTERM end the event loop, so the server stops and the
// certificate folder is removed.
void QuitOnSignals(QCoreApplication* app)
{
    if (::pipe(g_quitPipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_quitPipe[0], QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, &QCoreApplication::quit);
    std::signal(SIGINT, OnQuitSignal);
    std::signal(SIGTERM, OnQuitSignal);
}

// A parent that dies or closes our stdin takes us down with it.
void QuitWhenStdinCloses(QCoreApplication* app)
{
    auto* notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, app);
    QObject::connect(notifier, &QSocketNotifier::activated, app, [app, notifier]() {
        char buffer[256];
        if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0) {
            notifier->setEnabled(false);
            app->quit();
        }
    });
}

bool WriteDeployFile(
    const QString& path, const QString& baseUrl, int transferTimeoutSeconds, double retryDelaySeconds, QString* error)
{
    const QString base = baseUrl + QLatin1Char('/');
    const QJsonObject deploy{
        {"AdminBaseUrls", QJsonArray{base, base, base}},
        {"ReportBaseUrl", base},
        {"FallbackReportBaseUrl", base},
        {"AppId", "ndsample0000001"},
        {"RefererBaseUrl", baseUrl},
        {"TutorialUrl", base + QStringLiteral("tutorial")},
        {"ManagementUrl", base},
        {"WebsiteUrl", base},
        {"HelpCenterUrl", base + QStringLiteral("help")},
        {"ProbeHost", "127.0.0.1"},
        {"TransferTimeoutSeconds", transferTimeoutSeconds},
        {"RetryDelaySeconds", retryDelaySeconds},
        {"TrustedCertificates", QJsonArray{QFileInfo(NdTestCa::Instance().CaCertPath).absoluteFilePath()}},
    };
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    file.write(QJsonDocument(deploy).toJson(QJsonDocument::Indented));
    if (!file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

int Fail(const QString& message)
{
    std::fprintf(stderr, "NdSamplePlatform: %s\n", qPrintable(message));
    return 1;
}

int PositiveOrZero(const QString& text, int maximum, bool* ok)
{
    const int value = text.toInt(ok);
    *ok = *ok && value >= 0 && value <= maximum;
    return value;
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("NdSamplePlatform"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(kDescription));
    parser.addHelpOption();
    const QCommandLineOption portOption("port", "Port on 127.0.0.1 (0 = a free port).", "N", "0");
    const QCommandLineOption cacheOption("cache-dir",
        "Folder for the generated lessons (default: <build>/platform-cache).", "DIR",
        QCoreApplication::applicationDirPath() + "/../platform-cache");
    const QCommandLineOption deployOption(
        "write-deploy", "Write an NdDeploy.json that points the program at this server.", "FILE");
    const QCommandLineOption timeoutOption("transfer-timeout", "TransferTimeoutSeconds in that file.", "S", "30");
    const QCommandLineOption retryOption("retry-delay", "RetryDelaySeconds in that file.", "S", "1");
    const QCommandLineOption stdinOption("exit-on-stdin-close", "Quit when stdin reaches its end (for test drivers).");
    const QCommandLineOption benchOption("bench-lessons", "Also serve the benchmark's long lessons.");
    parser.addOptions({portOption, cacheOption, deployOption, timeoutOption, retryOption, stdinOption, benchOption});
    parser.process(app);

    bool ok = false;
    const int port = PositiveOrZero(parser.value(portOption), 65535, &ok);
    if (!ok)
        return Fail(QStringLiteral("--port wants a number from 0 to 65535"));
    const int transferTimeout = PositiveOrZero(parser.value(timeoutOption), 24 * 3600, &ok);
    if (!ok || transferTimeout == 0)
        return Fail(QStringLiteral("--transfer-timeout wants a positive number of seconds"));
    const double retryDelay = parser.value(retryOption).toDouble(&ok);
    if (!ok || !(retryDelay > 0.0))
        return Fail(QStringLiteral("--retry-delay wants a positive number of seconds"));

    QString error;
    NdSampleLessons lessons(parser.value(cacheOption), parser.isSet(benchOption));
    if (!lessons.Prepare(&error))
        return Fail(error);
    NdSamplePlatform platform(lessons);
    if (!platform.Start(static_cast<quint16>(port), &error))
        return Fail(error);
    if (parser.isSet(deployOption)
        && !WriteDeployFile(parser.value(deployOption), platform.BaseUrl(), transferTimeout, retryDelay, &error))
        return Fail(error);

    QuitOnSignals(&app);
    if (parser.isSet(stdinOption))
        QuitWhenStdinCloses(&app);

    std::fprintf(stderr, "NdSamplePlatform: lessons in %s; CA certificate %s\n",
        qPrintable(QDir::toNativeSeparators(lessons.CacheDir())),
        qPrintable(QDir::toNativeSeparators(NdTestCa::Instance().CaCertPath)));
    std::fprintf(stdout, "NdSamplePlatform listening on %s\n", qPrintable(platform.BaseUrl()));
    std::fflush(stdout);
    return app.exec();
}
