// Measures the download engine on a shaped link: the program's own scheduler,
// task threads, backend, HTTP client and ffmpeg fetch and merge long lessons of
// the sample platform, which delays every answer and every new connection (and
// may cap each connection's rate). The same segments fetched by curl, several
// at a time over kept-alive connections, give the network limit of that link.
//
//   NdBenchEngine a|b|c
//
// a: 600 segments of 1 s, 20 ms to the first byte, 40 ms per new connection
// b: 60 segments of 4 s at 720p, 50 ms to the first byte, 100 ms per new
//    connection, 2 MB/s per connection
// c: five of b at once
// d: b on a link where one answer in twenty waits 1 s longer (a slow tail)
// e: b with 5,000 finished tasks in the store, beside b with an empty one
// f: an AES lesson of 150 segments on loopback, beside a client that keeps five
//    in flight and merges with ffmpeg afterwards
// flaky: c on a clean link and on one where 1 % of the requests fail (at
//    random, the same each run), in one run
// failrate: 50 lessons of 200 segments on loopback where 0.5 % of the requests
//    fail: how many end as failed
//
// One scenario per run, so that the peak memory is that scenario's own.
#include "INdDownloaderBackEnd.h"
#include "NdBenchHistory.h"
#include "NdBenchUsage.h"
#include "NdDownloadTaskManager.h"
#include "NdSamplePlatformProcess.h"
#include "NdTestEnv.h"

#include "NdCore/NdCacheManager.h"
#include "NdCore/NdLogManager.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QMutexLocker>
#include <QPair>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QUuid>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <vector>

using NdDownloaderInterface::INdDownloaderBackEnd;

namespace {
const int kLessonGenerationTimeoutMs = 15 * 60 * 1000;
const int kRunTimeoutMs = 20 * 60 * 1000;

struct NdBenchScenario_t
{
    char Name;
    const char* Lesson;
    int Tasks;
    NdTestLinkShape Link;
    const char* Description;
};

NdTestLinkShape Link(int firstByteDelayMs, int connectionDelayMs, qint64 bytesPerSecond, int tailEvery = 0)
{
    NdTestLinkShape shape;
    shape.FirstByteDelayMs = firstByteDelayMs;
    shape.ConnectionDelayMs = connectionDelayMs;
    shape.BytesPerSecond = bytesPerSecond;
    shape.TailEvery = tailEvery;
    shape.TailDelayMs = tailEvery > 0 ? 1000 : 0;
    return shape;
}

const int kHistoryTasks = 5000;

const NdBenchScenario_t kScenarios[] = {
    {'a', "bench600", 1, Link(20, 40, 0), "600 x 1 s segments (640x360)"},
    {'b', "bench720", 1, Link(50, 100, 2 * 1000 * 1000), "60 x 4 s segments (1280x720)"},
    {'c', "bench720", 5, Link(50, 100, 2 * 1000 * 1000), "five lessons of 60 x 4 s segments (1280x720) at once"},
    {'d', "bench720", 1, Link(50, 100, 2 * 1000 * 1000, 20), "60 x 4 s segments, one answer in 20 a second late"},
    {'e', "bench720", 1, Link(50, 100, 2 * 1000 * 1000), "60 x 4 s segments, 5,000 finished tasks stored"},
    {'f', "benchaes", 1, Link(0, 0, 0), "AES-128, 150 x 1 s segments (640x360) on loopback"},
};
const NdBenchScenario_t kFailRate{'r', "many", 50, Link(0, 0, 0), "50 lessons of 200 x 1 s segments (160x120)"};

long CurrentRssMb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong() / 1024;
    }
    return -1;
}

QString Seconds(qint64 ms)
{
    return QString::number(ms / 1000.0, 'f', 2) + QStringLiteral(" s");
}

QString Ratio(qint64 ms, qint64 limitMs)
{
    return limitMs > 0 ? QString::number(static_cast<double>(ms) / limitMs, 'f', 2) : QStringLiteral("-");
}

QStringList SegmentUrls(const NdSamplePlatformProcess& platform, const QString& playlistUrl)
{
    QStringList urls;
    const QByteArray playlist = platform.Get(playlistUrl).Body;
    for (QByteArray line : playlist.split('\n')) {
        line = line.trimmed();
        if (!line.isEmpty() && !line.startsWith('#'))
            urls += QUrl(playlistUrl).resolved(QUrl(QString::fromUtf8(line))).toString();
    }
    return urls;
}

struct NdCurlRun_t
{
    bool Ok = false;
    qint64 WallMs = 0;
    double CpuSeconds = 0.0;
    QString Problem;
};

// The network limit: every segment fetched once to /dev/null, `parallel` at a
// time, curl keeping its connections alive.
// keepIn: "" to drop the bodies, or a folder that keeps each under its own name.
NdCurlRun_t RunCurl(const QStringList& urls, int parallel, const QString& caCertPath, const QString& workDir,
    const QString& keepIn = QString())
{
    NdCurlRun_t run;
    const QString curl = QStandardPaths::findExecutable(QStringLiteral("curl"));
    if (curl.isEmpty()) {
        run.Problem = QStringLiteral("curl is not installed");
        return run;
    }
    QFile config(workDir + QStringLiteral("/curl.config"));
    if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        run.Problem = QStringLiteral("cannot write %1").arg(config.fileName());
        return run;
    }
    for (const QString& url : urls) {
        const QString output = keepIn.isEmpty() ? QStringLiteral("/dev/null") : keepIn + '/' + QUrl(url).fileName();
        config.write("url = \"" + url.toUtf8() + "\"\noutput = \"" + output.toUtf8() + "\"\n");
    }
    config.close();

    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    const double cpuBefore = NdCpuSeconds(RUSAGE_CHILDREN);
    QElapsedTimer clock;
    clock.start();
    process.start(curl,
        {"--silent", "--show-error", "--no-progress-meter", "--fail", "--parallel", "--parallel-immediate",
            "--parallel-max", QString::number(parallel), "--cacert", caCertPath, "--config", config.fileName()});
    const bool ended = process.waitForFinished(kRunTimeoutMs);
    run.WallMs = clock.elapsed();
    run.CpuSeconds = NdCpuSeconds(RUSAGE_CHILDREN) - cpuBefore;
    run.Ok = ended && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!run.Ok)
        run.Problem = QStringLiteral("curl failed (exit code %1): %2")
                          .arg(process.exitCode())
                          .arg(QString::fromLocal8Bit(process.readAll().right(400)));
    return run;
}

// The other half of a client that keeps five in flight: one ffmpeg merge of
// what it fetched, by stream copy. Its wall time.
qint64 RunMerge(const QString& playlist)
{
    QProcess ffmpeg;
    QElapsedTimer clock;
    clock.start();
    ffmpeg.start(QCoreApplication::applicationDirPath() + QStringLiteral("/ffmpeg"),
        {"-v", "error", "-y", "-allowed_extensions", "ALL", "-i", playlist, "-c", "copy",
            QFileInfo(playlist).path() + QStringLiteral("/merged.mp4")});
    const bool ok = ffmpeg.waitForFinished(kRunTimeoutMs) && ffmpeg.exitCode() == 0;
    return ok ? clock.elapsed() : -1;
}

// What the rows of the task list would receive, timed on the tasks' threads.
class NdBenchRows : public QObject
{
public:
    explicit NdBenchRows(int tasks) : TaskTotal(tasks)
    {
        Clock.start();
        NdDownloadTask::SetRowConnector([this](NdDownloadTask* task, const DownloadTaskParam_t& record) {
            return NdRowConnections{Connect(task, record.TaskItem)};
        });
    }
    ~NdBenchRows() override { NdDownloadTask::SetRowConnector(nullptr); }

    static NdTaskItem* RowKey(int n) { return reinterpret_cast<NdTaskItem*>(static_cast<quintptr>(0x1000 + n * 16)); }

    void Restart() { Clock.restart(); }
    bool WaitAllEnded(int timeoutMs)
    {
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (Ended.load() >= TaskTotal)
                loop.quit();
        });
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        poll.start(20);
        loop.exec();
        return Ended.load() >= TaskTotal;
    }
    // Since the start: when the last task had all its segments on disk, and when the last one ended.
    QPair<qint64, qint64> LastDownloadedAndEndedMs() const
    {
        QMutexLocker lock(&Lock);
        return {LastDownloadedMs, LastEndedMs};
    }
    int FinishedTasks() const { return FinishedCount.load(); }
    long HalfWayRssMb() const { return HalfWayRss.load(); }

private:
    QMetaObject::Connection Connect(NdDownloadTask* task, NdTaskItem*)
    {
        return QObject::connect(
            task, &NdDownloadTask::sigRefreshDownloadResult, this,
            [this](float, int percent, int state, const QString&) { OnReport(percent, state); }, Qt::DirectConnection);
    }

    void OnReport(int percent, int state)
    {
        const qint64 now = Clock.elapsed();
        if (state == Downloading && percent >= 50 && HalfWayRss.load() < 0)
            HalfWayRss.store(CurrentRssMb());
        QMutexLocker lock(&Lock);
        if (state == Downloaded)
            LastDownloadedMs = qMax(LastDownloadedMs, now);
        if (state == Finished || state == Failed || state == Paused || state == NoDisk) {
            LastEndedMs = qMax(LastEndedMs, now);
            if (state == Finished)
                ++FinishedCount;
            ++Ended;
        }
    }

    const int TaskTotal;
    QElapsedTimer Clock;
    mutable QMutex Lock;
    qint64 LastDownloadedMs = 0;
    qint64 LastEndedMs = 0;
    std::atomic<int> Ended{0};
    std::atomic<int> FinishedCount{0};
    std::atomic<long> HalfWayRss{-1};
};

// The log's echo to debug output is made as in the program, but not shown.
void DropDebugOutput(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

int Fail(const QString& message)
{
    std::fprintf(stderr, "NdBenchEngine: %s\n", qPrintable(message));
    return 1;
}

void PrintLine(const char* label, const QString& value)
{
    std::printf("  %-38s %s\n", label, qPrintable(value));
}

// A platform with the bench lessons, and the scenario's records as the server
// hands them out, through the program's own query.
bool PrepareRun(NdSamplePlatformProcess& platform, const NdBenchScenario_t& scenario,
    std::vector<DownloadTaskParam_t>& records, QString* problem)
{
    if (!platform.Start(kLessonGenerationTimeoutMs, {"--bench-lessons"})) {
        *problem = platform.ErrorString();
        return false;
    }
    if (!platform.ApplyDeploySettings()) {
        *problem = QStringLiteral("cannot apply the platform's deployment file");
        return false;
    }
    QStringList token;
    for (int i = 0; i < scenario.Tasks; ++i)
        token += QString::fromLatin1(scenario.Lesson);
    if (!INdDownloaderBackEnd::GetInstance()->GetDownloadTaskByToken(token.join(',').toStdString(), records)
        || static_cast<int>(records.size()) != scenario.Tasks) {
        *problem = QStringLiteral("the platform did not answer the token");
        return false;
    }
    return true;
}

struct NdEngineRun_t
{
    bool Ended = false;
    int Finished = 0;
    int Videos = 0;
    qint64 DownloadedMs = 0;
    qint64 FinishedMs = 0;
    double Cpu = 0.0;
    double FfmpegCpu = 0.0;
    long HalfWayRssMb = -1;
};

// The scenario's lessons through the scheduler, five at a time, into a folder of their own.
NdEngineRun_t RunEngine(const NdBenchScenario_t& scenario, const std::vector<DownloadTaskParam_t>& records)
{
    QTemporaryDir work;
    NdBenchRows rows(scenario.Tasks);
    NdDownloadTaskManager scheduler;
    for (int i = 0; i < scenario.Tasks; ++i) {
        DownloadTaskParam_t task = records[i];
        task.VideoName = QStringLiteral("bench %1 %2").arg(scenario.Name).arg(i + 1).toStdString();
        task.VideoDownloadPath = work.path().toStdString();
        task.VideoTempPath = (work.path() + QStringLiteral("/~NdTemp/") + QUuid::createUuid().toString()).toStdString();
        task.TaskItem = NdBenchRows::RowKey(i);
        NdCacheManager::GetInstance()->SaveOneDownloadTask(task);
        scheduler.AddTask(task);
    }
    NdEngineRun_t run;
    const double cpuBefore = NdCpuSeconds(RUSAGE_SELF);
    const double childCpuBefore = NdCpuSeconds(RUSAGE_CHILDREN);
    rows.Restart();
    scheduler.start();
    run.Ended = rows.WaitAllEnded(kRunTimeoutMs);
    run.Cpu = NdCpuSeconds(RUSAGE_SELF) - cpuBefore;
    run.FfmpegCpu = NdCpuSeconds(RUSAGE_CHILDREN) - childCpuBefore;
    scheduler.stop();
    scheduler.wait();
    run.Finished = rows.FinishedTasks();
    run.Videos = QDir(work.path()).entryList({QStringLiteral("*.mp4")}, QDir::Files).size();
    run.DownloadedMs = rows.LastDownloadedAndEndedMs().first;
    run.FinishedMs = rows.LastDownloadedAndEndedMs().second;
    run.HalfWayRssMb = rows.HalfWayRssMb();
    NdCacheManager::GetInstance()->ClearDownloadTasks();
    return run;
}

QJsonObject Flaky(double probability, int seed)
{
    return QJsonObject{{"flaky", QJsonObject{{"probability", probability}, {"seed", seed}}}};
}

int RunScenario(const NdBenchScenario_t& scenario)
{
    NdSamplePlatformProcess platform;
    std::vector<DownloadTaskParam_t> records;
    QString problem;
    if (!PrepareRun(platform, scenario, records, &problem))
        return Fail(problem);
    const QString playlistUrl = platform.LessonUrl(QString::fromLatin1(scenario.Lesson));
    const QStringList lessonSegments = SegmentUrls(platform, playlistUrl);
    QStringList allSegments;
    for (int i = 0; i < scenario.Tasks; ++i)
        allSegments += lessonSegments;
    const int segments = static_cast<int>(allSegments.size());

    std::printf("scenario %c: %s, %d task(s), %d segments in all\n", scenario.Name, scenario.Description,
        scenario.Tasks, segments);
    std::printf("  link: %d ms to the first byte, %d ms per new connection, %s per connection\n",
        scenario.Link.FirstByteDelayMs, scenario.Link.ConnectionDelayMs,
        scenario.Link.BytesPerSecond > 0 ? qPrintable(QStringLiteral("%1 MB/s").arg(scenario.Link.BytesPerSecond / 1e6))
                                         : "no rate limit");
    std::fflush(stdout);

    QTemporaryDir work;
    if (!work.isValid() || !platform.SetLink(scenario.Link))
        return Fail(QStringLiteral("cannot set up the run"));
    const int parallel = 5 * scenario.Tasks;
    const NdCurlRun_t curl = RunCurl(allSegments, parallel, platform.CaCertPath(), work.path());
    if (!curl.Ok)
        std::printf("  curl: %s\n", qPrintable(curl.Problem));

    qint64 clientMs = 0;
    if (scenario.Name == 'f') {
        QDir().mkpath(work.filePath(QStringLiteral("client")));
        const QString client = work.filePath(QStringLiteral("client"));
        const QStringList lessonFiles
            = QStringList{playlistUrl, QUrl(playlistUrl).resolved(QUrl("key.bin")).toString()} + lessonSegments;
        const NdCurlRun_t fetched = RunCurl(lessonFiles, parallel, platform.CaCertPath(), work.path(), client);
        const qint64 mergeMs = RunMerge(client + QStringLiteral("/index.m3u8"));
        clientMs = fetched.Ok && mergeMs >= 0 ? fetched.WallMs + mergeMs : 0;
    }

    // With a long history first: the run with an empty store comes after it.
    NdEngineRun_t historyRun;
    if (scenario.Name == 'e') {
        if (!NdWriteBenchHistory(kHistoryTasks, work.path(), false) || !platform.Reset()
            || !platform.SetLink(scenario.Link))
            return Fail(QStringLiteral("cannot write the history"));
        historyRun = RunEngine(scenario, records);
    }
    if (!platform.Reset() || !platform.SetLink(scenario.Link))
        return Fail(QStringLiteral("cannot reset the platform"));
    const NdEngineRun_t run = RunEngine(scenario, records);
    if (!run.Ended || run.Finished != scenario.Tasks || run.Videos != scenario.Tasks)
        return Fail(
            QStringLiteral("%1 of %2 tasks finished, %3 videos").arg(run.Finished).arg(scenario.Tasks).arg(run.Videos));

    const QJsonObject link = platform.Link();
    const double lessons = scenario.Tasks;
    const auto perLesson = [&](const char* member) {
        return QString::number(link.value(QLatin1String(member)).toDouble() / lessons, 'f', 1);
    };
    const qint64 limitMs = curl.Ok ? curl.WallMs : 0;
    PrintLine("curl limit, " + QByteArray::number(parallel) + " at a time:",
        curl.Ok ? Seconds(curl.WallMs) + QStringLiteral(" (curl CPU %1 s)").arg(curl.CpuSeconds, 0, 'f', 2)
                : QStringLiteral("-"));
    PrintLine(
        "engine, all segments on disk:", Seconds(run.DownloadedMs) + "   ratio " + Ratio(run.DownloadedMs, limitMs));
    PrintLine("engine, all finished (merged, moved):",
        Seconds(run.FinishedMs) + "   ratio " + Ratio(run.FinishedMs, limitMs));
    PrintLine("engine CPU:",
        QStringLiteral("%1 s, %2 ms per segment (ffmpeg %3 s)")
            .arg(run.Cpu, 0, 'f', 2)
            .arg(run.Cpu * 1000.0 / segments, 0, 'f', 2)
            .arg(run.FfmpegCpu, 0, 'f', 2));
    PrintLine("peak RSS:", QStringLiteral("%1 MB (%2 MB at half-way)").arg(NdPeakRssMb()).arg(run.HalfWayRssMb));
    if (scenario.Name == 'e')
        PrintLine("with 5,000 stored tasks:",
            QStringLiteral("%1, CPU %2 s: wall %3x, CPU %4x the empty store's")
                .arg(Seconds(historyRun.FinishedMs))
                .arg(historyRun.Cpu, 0, 'f', 2)
                .arg(Ratio(historyRun.FinishedMs, run.FinishedMs))
                .arg(run.Cpu > 0 ? QString::number(historyRun.Cpu / run.Cpu, 'f', 2) : QStringLiteral("-")));
    if (scenario.Name == 'f')
        PrintLine("client, five in flight, then ffmpeg:",
            Seconds(clientMs) + "   engine / client " + Ratio(run.FinishedMs, clientMs));
    PrintLine("per lesson, lesson files:",
        QStringLiteral("%1 connections, %2 TLS handshakes, %3 requests")
            .arg(perLesson("lessonConnections"), perLesson("lessonHandshakes"), perLesson("lessonRequests")));
    PrintLine("per lesson, other requests:", perLesson("otherConnections") + QStringLiteral(" connections"));
    std::printf(
        "RESULT scenario=%c curl_ms=%lld downloaded_ms=%lld finished_ms=%lld cpu_s=%.3f cpu_ms_per_segment=%.3f "
        "ffmpeg_cpu_s=%.3f peak_rss_mb=%ld lesson_connections=%s lesson_handshakes=%s\n",
        scenario.Name, static_cast<long long>(limitMs), static_cast<long long>(run.DownloadedMs),
        static_cast<long long>(run.FinishedMs), run.Cpu, run.Cpu * 1000.0 / segments, run.FfmpegCpu, NdPeakRssMb(),
        qPrintable(perLesson("lessonConnections")), qPrintable(perLesson("lessonHandshakes")));
    std::fflush(stdout);
    return 0;
}

// Scenario c on a clean link and on a flaky one, one after the other.
int RunFlaky()
{
    const NdBenchScenario_t& scenario = kScenarios[2];
    NdSamplePlatformProcess platform;
    std::vector<DownloadTaskParam_t> records;
    QString problem;
    if (!PrepareRun(platform, scenario, records, &problem))
        return Fail(problem);
    std::printf("flaky: %s, clean and with 1 %% of the requests failing\n", scenario.Description);
    qint64 cleanMs = 0;
    for (const bool flaky : {false, true}) {
        if (!platform.Reset() || !platform.SetLink(scenario.Link) || (flaky && !platform.SetFaults(Flaky(0.01, 11))))
            return Fail(QStringLiteral("cannot set up the platform"));
        const NdEngineRun_t run = RunEngine(scenario, records);
        const int requests = platform.Requests().size();
        PrintLine(flaky ? "flaky link, all finished:" : "clean link, all finished:",
            QStringLiteral("%1, %2 of %3 lessons whole, %4 requests")
                .arg(Seconds(run.FinishedMs))
                .arg(run.Videos)
                .arg(scenario.Tasks)
                .arg(requests));
        if (!flaky)
            cleanMs = run.FinishedMs;
        else
            PrintLine("flaky / clean:", Ratio(run.FinishedMs, cleanMs));
    }
    return 0;
}

// Fifty lessons on a link where 0.5 % of the requests fail: how many fail.
int RunFailureRate()
{
    NdSamplePlatformProcess platform;
    std::vector<DownloadTaskParam_t> records;
    QString problem;
    if (!PrepareRun(platform, kFailRate, records, &problem) || !platform.SetFaults(Flaky(0.005, 3)))
        return Fail(problem.isEmpty() ? QStringLiteral("cannot set up the platform") : problem);
    const NdEngineRun_t run = RunEngine(kFailRate, records);
    PrintLine("failrate: " + QByteArray(kFailRate.Description) + ", 0.5 % of requests failing:",
        QStringLiteral("%1 of %2 failed (%3 %), %4 s")
            .arg(kFailRate.Tasks - run.Finished)
            .arg(kFailRate.Tasks)
            .arg(100.0 * (kFailRate.Tasks - run.Finished) / kFailRate.Tasks, 0, 'f', 1)
            .arg(run.FinishedMs / 1000.0, 0, 'f', 1));
    return run.Ended ? 0 : 1;
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    NdTestInitEnvironment();
    const QByteArray name = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    if (name == "flaky" || name == "failrate") {
        qInstallMessageHandler(DropDebugOutput);
        NdLogManager::Install();
        const int code = name == "flaky" ? RunFlaky() : RunFailureRate();
        NdLogManager::UnInstall();
        return code;
    }
    for (const NdBenchScenario_t& scenario : kScenarios) {
        if (name.size() == 1 && name[0] == scenario.Name) {
            // As the program runs: with its log.
            qInstallMessageHandler(DropDebugOutput);
            NdLogManager::Install();
            std::printf("(engine process %lld)\n", static_cast<long long>(::getpid()));
            const int code = RunScenario(scenario);
            NdLogManager::UnInstall();
            return code;
        }
    }
    return Fail(QStringLiteral("usage: NdBenchEngine a|b|c|flaky|failrate"));
}
