// Kills the real NdDownloader with SIGKILL at chosen moments of its work and
// starts it again, over and over, against the sample platform: while segments
// are written, while the store is written, while ffmpeg merges and while the
// video is moved. After every kill the store must parse and hold every task in
// a state that resumes, and every .mp4 under its final name must be whole. At
// the end of each round the program runs undisturbed and every task must be
// finished with a correct video, leaving no working folder behind.
//
//   NdSoakKill [kills] [--seed N]      (50 kills by default)
//
// Prints one line per kill and per round, then the totals; exits 0 when
// nothing failed and no task was lost.
#include "NdEngineTestKit.h"
#include "NdProgramBundle.h"
#include "NdSamplePlatformProcess.h"

#include "NdCore/NdCacheManager.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <vector>

namespace {

const char* const kDataName = "data";
const int kKillsPerRound = 5;
const int kTriggerLimitMs = 20000;
const int kFinishLimitMs = 90000;
const int kPollMs = 2;
const double kDurationSlackSeconds = 0.5;
// Slow lessons stretch the segment phase so kills land inside it.
const QStringList kLessons{"slow/plain", "slow/aes", "slow/long", "plain2"};

enum class Phase
{
    Segments,
    Store,
    Merge,
    Move,
};

const char* PhaseName(Phase phase)
{
    switch (phase) {
    case Phase::Segments:
        return "segment writes";
    case Phase::Store:
        return "a store write";
    case Phase::Merge:
        return "the merge";
    case Phase::Move:
        return "the move";
    }
    return "";
}

bool IsResumable(int state)
{
    return state == Wait || state == Downloading || state == Downloaded || state == Transcoding || state == Finished;
}

class NdSoak
{
public:
    NdSoak(int kills, quint32 seed) : Kills(kills), Random(seed) { }

    bool Start();
    int Run();

private:
    QString Home() const { return HomeFolder.path(); }
    QString Downloads() const { return HomeFolder.path() + QStringLiteral("/videos"); }
    QString WorkRoot() const { return Downloads() + QStringLiteral("/~NdTemp"); }
    QString StorePath() const
    {
        return NdProgramBundle::DataFolder(Home(), QLatin1String(kDataName)) + QStringLiteral("/NdDownloadTasks.bin");
    }

    void SeedRound();
    bool RunRound(int round);
    void Launch();
    void KillDuring(Phase phase);
    bool WaitFor(Phase phase);
    bool WorkFileExists(const QString& name) const;
    // Processes at work in the task folders (ffmpeg).
    QList<qint64> WorkerPids() const;
    static bool OutlivesItsParent(qint64 pid);
    static bool WorksOn(qint64 pid);
    bool AllFinished() const;
    bool CheckAfterKill();
    bool CheckFinishedRound(int round);
    bool CheckVideo(const QString& path, double seconds, bool decode);
    double SecondsOf(const QString& videoName) const; // "Lesson <n>", with or without ".mp4"
    std::vector<DownloadTaskParam_t> StoredTasks(bool* parsed) const;
    void Fail(const QString& what);

    const int Kills;
    QRandomGenerator Random;
    NdSamplePlatformProcess Platform;
    NdProgramBundle Bundle;
    QTemporaryDir HomeFolder;
    NdTestChildProcess Program;
    QMap<QString, double> Seconds; // per lesson path
    int Killed = 0;
    int Resumes = 0;
    int FinishedRounds = 0;
    int Failures = 0;
};

bool NdSoak::Start()
{
    if (!HomeFolder.isValid() || !QDir().mkpath(Downloads()))
        return false;
    // This tool seeds and reads the program's own store: the same data folder.
    qputenv("XDG_DATA_HOME", (Home() + QLatin1Char('/') + QLatin1String(kDataName)).toLocal8Bit());
    if (!Platform.Start()) {
        std::fprintf(stderr, "%s\n", qPrintable(Platform.ErrorString()));
        return false;
    }
    if (!Bundle.Create(Platform.DeployFilePath()))
        return false;
    for (const QString& lesson : kLessons)
        Seconds[lesson] = NdPlaylistDuration(Platform.Get(Platform.LessonUrl(lesson)).Body);
    Program.setProcessEnvironment(Bundle.Environment(Home(), QLatin1String(kDataName)));
    Program.setProgram(Bundle.ProgramPath());
    Program.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    Program.setStandardErrorFile(QProcess::nullDevice());
    return true;
}

// The tasks go into the program's store as the task list stores new ones; the
// program queues them when it starts.
void NdSoak::SeedRound()
{
    NdCacheManager* store = NdCacheManager::GetInstance();
    store->ClearDownloadTasks();
    int n = 0;
    for (const QString& lesson : kLessons) {
        DownloadTaskParam_t task
            = NdMakeTask(Downloads(), Platform.LessonUrl(lesson), QStringLiteral("lesson %1").arg(++n), 0.05f, nullptr);
        QDir().mkpath(QString::fromStdString(task.VideoTempPath));
        store->SaveOneDownloadTask(task);
    }
}

void NdSoak::Launch()
{
    Program.start();
    Program.waitForStarted(10000);
}

bool NdSoak::WorkFileExists(const QString& name) const
{
    QDirIterator it(WorkRoot(), {name}, QDir::Files, QDirIterator::Subdirectories);
    return it.hasNext();
}

bool NdSoak::WaitFor(Phase phase)
{
    const QDeadlineTimer deadline(kTriggerLimitMs);
    const QFileInfo store(StorePath());
    const QDateTime storedAt = store.lastModified();
    while (!deadline.hasExpired() && Program.state() == QProcess::Running && !AllFinished()) {
        switch (phase) {
        case Phase::Segments:
            if (WorkFileExists(QStringLiteral("*.ts"))) {
                QThread::msleep(Random.bounded(500));
                return true;
            }
            break;
        case Phase::Store: {
            // QSaveFile writes beside the store and renames at the end.
            const QStringList writing = QDir(store.absolutePath()).entryList({"NdDownloadTasks.bin.*"}, QDir::Files);
            if (!writing.filter(QRegularExpression(QStringLiteral("\\.bin\\.[^c]"))).isEmpty()
                || QFileInfo(StorePath()).lastModified() != storedAt)
                return true;
            break;
        }
        case Phase::Merge:
            if (!WorkerPids().isEmpty())
                return true;
            break;
        case Phase::Move:
            if (WorkFileExists(QStringLiteral("filelist.moved")))
                return true;
            break;
        }
        QThread::msleep(kPollMs);
    }
    return false;
}

void NdSoak::KillDuring(Phase phase)
{
    const bool hit = WaitFor(phase);
    if (Program.state() != QProcess::Running) {
        Fail(QStringLiteral("the program ended by itself with %1").arg(Program.exitCode()));
        return;
    }
    const QList<qint64> workers = WorkerPids();
    ::kill(static_cast<pid_t>(Program.processId()), SIGKILL);
    Program.waitForFinished(10000);
    ++Killed;
    std::printf("kill %d/%d %s %s\n", Killed, Kills, hit ? "during" : "(no sign of)", PhaseName(phase));
    if (std::any_of(workers.begin(), workers.end(), OutlivesItsParent))
        Fail(QStringLiteral("a process of the killed program goes on working in its task folders"));
}

QList<qint64> NdSoak::WorkerPids() const
{
    QList<qint64> pids;
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().contains(WorkRoot().toLocal8Bit()))
            pids << pid.toLongLong();
    }
    return pids;
}

// A child that dies with its parent may still be on its way out right after
// the parent is reaped (the signal taken, the exit not yet done); one that goes
// on working is still at it a second later.
bool NdSoak::OutlivesItsParent(qint64 pid)
{
    const QDeadlineTimer deadline(1000);
    while (WorksOn(pid)) {
        if (deadline.hasExpired())
            return true;
        QThread::msleep(kPollMs);
    }
    return false;
}

// Neither gone, a zombie, nor with SIGKILL pending.
bool NdSoak::WorksOn(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    const quint64 sigkill = quint64(1) << (SIGKILL - 1);
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("State:") && (line.contains("Z (") || line.contains("X (")))
            return false;
        if ((line.startsWith("SigPnd:") || line.startsWith("ShdPnd:"))
            && (line.mid(7).trimmed().toULongLong(nullptr, 16) & sigkill))
            return false;
    }
    return true;
}

std::vector<DownloadTaskParam_t> NdSoak::StoredTasks(bool* parsed) const
{
    std::vector<DownloadTaskParam_t> tasks;
    NdCacheManager::GetInstance()->Reload(); // the program wrote it
    *parsed = NdCacheManager::GetInstance()->GetDownloadTasks(tasks);
    return tasks;
}

bool NdSoak::AllFinished() const
{
    bool parsed = false;
    const std::vector<DownloadTaskParam_t> tasks = StoredTasks(&parsed);
    return parsed && tasks.size() == static_cast<size_t>(kLessons.size())
        && std::all_of(
            tasks.begin(), tasks.end(), [](const DownloadTaskParam_t& t) { return t.VideoState == Finished; });
}

void NdSoak::Fail(const QString& what)
{
    ++Failures;
    std::printf("FAILURE: %s\n", qPrintable(what));
}

bool NdSoak::CheckVideo(const QString& path, double seconds, bool decode)
{
    const double measured = NdProbe(path).Duration;
    if (qAbs(measured - seconds) > kDurationSlackSeconds) {
        Fail(QStringLiteral("%1 lasts %2 s instead of %3 s").arg(path).arg(measured).arg(seconds));
        return false;
    }
    const QString errors = decode ? NdDecodeErrors(path) : QString();
    if (!errors.isEmpty()) {
        Fail(QStringLiteral("%1 does not decode: %2").arg(path, errors.left(200)));
        return false;
    }
    return true;
}

// The store parses and holds every task in a state that goes on by itself;
// whatever .mp4 stands under a final name is whole.
bool NdSoak::CheckAfterKill()
{
    bool parsed = false;
    const std::vector<DownloadTaskParam_t> tasks = StoredTasks(&parsed);
    if (!parsed || tasks.size() != static_cast<size_t>(kLessons.size())) {
        Fail(QStringLiteral("the store holds %1 of %2 tasks (parsed: %3)")
                 .arg(tasks.size())
                 .arg(kLessons.size())
                 .arg(parsed));
        return false;
    }
    bool ok = true;
    for (const DownloadTaskParam_t& task : tasks) {
        if (!IsResumable(task.VideoState)) {
            Fail(QStringLiteral("%1 was left in state %2")
                     .arg(QString::fromStdString(task.VideoName))
                     .arg(task.VideoState));
            ok = false;
        }
    }
    const QStringList videos = QDir(Downloads()).entryList({"*.mp4"}, QDir::Files);
    for (const QString& name : videos) {
        ok = CheckVideo(Downloads() + QLatin1Char('/') + name, SecondsOf(name), false) && ok;
    }
    return ok;
}

// Unknown names get a length no video has.
double NdSoak::SecondsOf(const QString& videoName) const
{
    const int lesson = videoName.section(QLatin1Char(' '), 1).section(QLatin1Char('.'), 0, 0).toInt() - 1;
    return Seconds.value(kLessons.value(lesson), -100);
}

bool NdSoak::CheckFinishedRound(int round)
{
    bool parsed = false;
    const std::vector<DownloadTaskParam_t> tasks = StoredTasks(&parsed);
    bool ok = parsed && tasks.size() == static_cast<size_t>(kLessons.size());
    if (!ok)
        Fail(QStringLiteral("round %1: the store lost tasks").arg(round));
    for (const DownloadTaskParam_t& task : tasks) {
        const QString name = QString::fromStdString(task.VideoName);
        if (task.VideoState != Finished) {
            Fail(QStringLiteral("round %1: %2 ended in state %3").arg(round).arg(name).arg(task.VideoState));
            ok = false;
            continue;
        }
        if (CheckVideo(NdOutputPath(task), SecondsOf(name), true))
            ++FinishedRounds;
        else
            ok = false;
    }
    const int videos = QDir(Downloads()).entryList({"*.mp4"}, QDir::Files).size();
    if (videos != kLessons.size()) {
        Fail(QStringLiteral("round %1: %2 videos for %3 tasks").arg(round).arg(videos).arg(kLessons.size()));
        ok = false;
    }
    if (QFileInfo::exists(WorkRoot())) {
        Fail(QStringLiteral("round %1: %2 was left behind").arg(round).arg(WorkRoot()));
        ok = false;
    }
    return ok;
}

bool NdSoak::RunRound(int round)
{
    SeedRound();
    static const Phase phases[] = {Phase::Segments, Phase::Store, Phase::Merge, Phase::Move};
    for (int k = 0; k < kKillsPerRound && Killed < Kills; ++k) {
        Launch();
        KillDuring(phases[Killed % 4]);
        if (!CheckAfterKill() || AllFinished())
            break;
        ++Resumes;
    }
    Launch();
    const QDeadlineTimer deadline(kFinishLimitMs);
    while (!AllFinished() && !deadline.hasExpired() && Program.state() == QProcess::Running)
        QThread::msleep(50);
    Program.terminate();
    if (!Program.waitForFinished(10000)) {
        Program.kill();
        Program.waitForFinished(5000);
        Fail(QStringLiteral("round %1: the program did not end on SIGTERM").arg(round));
    }
    const bool ok = CheckFinishedRound(round);
    std::printf("round %d: %s\n", round, ok ? "every task finished with a whole video" : "FAILED");
    for (const QString& name : QDir(Downloads()).entryList({"*.mp4"}, QDir::Files))
        QFile::remove(Downloads() + QLatin1Char('/') + name);
    QDir(WorkRoot()).removeRecursively();
    return ok;
}

int NdSoak::Run()
{
    int round = 0;
    while (Killed < Kills) {
        const int before = Killed;
        RunRound(++round);
        std::fflush(stdout);
        if (Killed == before) {
            Fail(QStringLiteral("round %1 ended before any kill").arg(round));
            break;
        }
    }
    std::printf("kills: %d, resumes: %d, tasks finished: %d of %d, failures: %d\n", Killed, Resumes, FinishedRounds,
        round * kLessons.size(), Failures);
    return Failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char* argv[])
{
    const QStringList args = [&] {
        QStringList list;
        for (int i = 1; i < argc; ++i)
            list << QString::fromLocal8Bit(argv[i]);
        return list;
    }();
    int kills = 50;
    quint32 seed = QRandomGenerator::global()->generate();
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--seed") && i + 1 < args.size())
            seed = args[++i].toUInt();
        else
            kills = qMax(1, args[i].toInt());
    }
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("NdDownloader"));
    NdSoak soak(kills, seed);
    std::printf("NdSoakKill: %d kills, seed %u\n", kills, seed);
    if (!soak.Start()) {
        std::fprintf(stderr, "NdSoakKill: cannot set up the sample platform and the program\n");
        return 2;
    }
    return soak.Run();
}
