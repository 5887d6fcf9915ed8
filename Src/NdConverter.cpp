#include "NdConverter.h"

#include "NdTaskFolder.h"

#include "NdCore/NdCommHelper.h"
#include "NdCore/NdLogManager.h"
#include "NdCore/NdStopScope.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <mutex>

#include <unistd.h>
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace {

// A merged video may differ from the playlist's own length by this much.
const double kDurationToleranceSeconds = 1.0;
const double kDurationToleranceShare = 0.01;
const int kFfmpegStartTimeoutMs = 30 * 1000;
// ffmpeg prints progress several times a second while it works; this long
// without a word means it hangs.
const int kFfmpegSilenceLimitMs = 10 * 60 * 1000;
const int kOutputHeadBytes = 16 * 1024;

struct NdProcessOutcome_t
{
    bool Ok = false;
    bool Stopped = false; // ended because the calling thread was told to stop
    QString Problem;
    QByteArray Head; // the start of the output, where ffmpeg describes its input
};

// ffmpeg ends with the program: killed, the program must not leave a merge
// writing into the folder that its next run merges in again.
class NdChildProcess : public QProcess
{
public:
    NdChildProcess() : Parent(::getpid()) { }

protected:
    void setupChildProcess() override
    {
#ifdef Q_OS_LINUX
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != Parent)
            ::_exit(127);
#endif
    }

private:
    const pid_t Parent;
};

void KeepHead(NdProcessOutcome_t& outcome, const QByteArray& output)
{
    if (outcome.Head.size() < kOutputHeadBytes)
        outcome.Head += output.left(kOutputHeadBytes - outcome.Head.size());
}

void Kill(QProcess& process, NdProcessOutcome_t& outcome, const QString& problem)
{
    process.kill();
    process.waitForFinished(kFfmpegStartTimeoutMs);
    outcome.Problem = problem;
}

NdProcessOutcome_t RunToEnd(const QString& program, const QStringList& arguments)
{
    NdProcessOutcome_t outcome;
    NdChildProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments, QIODevice::ReadWrite);
    if (!process.waitForStarted(kFfmpegStartTimeoutMs)) {
        outcome.Problem = QStringLiteral("did not start: ") + process.errorString();
        return outcome;
    }
    QByteArray lastOutput;
    QElapsedTimer silence;
    silence.start();
    while (process.state() != QProcess::NotRunning) {
        // Asked at every turn: ffmpeg's progress lines keep the wait below short.
        if (NdStopScope::StopRequested()) {
            outcome.Stopped = true;
            Kill(process, outcome, QStringLiteral("stopped"));
            return outcome;
        }
        if (process.waitForReadyRead(NdStopScope::kCheckIntervalMs)) {
            const QByteArray output = process.readAll();
            KeepHead(outcome, output);
            lastOutput = output.right(400);
            silence.restart();
        } else if (silence.elapsed() > kFfmpegSilenceLimitMs) {
            Kill(process, outcome, QStringLiteral("killed after a long silence"));
            return outcome;
        }
    }
    const QByteArray rest = process.readAll();
    KeepHead(outcome, rest);
    if (!rest.isEmpty())
        lastOutput = rest.right(400);
    outcome.Ok = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!outcome.Ok) {
        outcome.Problem = QStringLiteral("exit code %1: %2")
                              .arg(process.exitCode())
                              .arg(QString::fromUtf8(lastOutput).trimmed().section(QLatin1Char('\n'), -1));
    }
    return outcome;
}

// One converter at a time in the whole program.
std::timed_mutex& ConverterLock()
{
    static std::timed_mutex lock;
    return lock;
}

// Waits for the converter; false when the thread is told to stop first, so
// that a deleted task or a quitting program never queues behind a long merge.
bool TakeConverter(std::unique_lock<std::timed_mutex>& converter)
{
    while (!converter.try_lock_for(std::chrono::milliseconds(NdStopScope::kCheckIntervalMs))) {
        if (NdStopScope::StopRequested())
            return false;
    }
    return true;
}

// The length that ffmpeg reads from the merged video's header, while it reads
// every packet of it (a damaged file fails here); negative when it cannot tell.
double ProbeSeconds(const QString& ffmpeg, const QString& video, QString& problem)
{
    const NdProcessOutcome_t outcome = RunToEnd(ffmpeg,
        {QStringLiteral("-hide_banner"), QStringLiteral("-nostdin"), QStringLiteral("-i"), video,
            QStringLiteral("-map"), QStringLiteral("0"), QStringLiteral("-c"), QStringLiteral("copy"),
            QStringLiteral("-f"), QStringLiteral("null"), QStringLiteral("-")});
    // The input's description comes first, long before any progress line.
    static const QRegularExpression duration(
        QStringLiteral("^\\s*Duration: (\\d+):(\\d\\d):(\\d\\d(?:\\.\\d+)?)"), QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = duration.match(QString::fromUtf8(outcome.Head));
    if (!outcome.Ok || !match.hasMatch()) {
        problem = outcome.Ok ? QStringLiteral("no duration in the merged video") : outcome.Problem;
        return -1.0;
    }
    return match.captured(1).toDouble() * 3600.0 + match.captured(2).toDouble() * 60.0 + match.captured(3).toDouble();
}

double ExpectedSeconds(const NdTaskFolder& folder)
{
    QFile file(folder.FilePath(QLatin1String(NdTaskFolder::kDurationFileName)));
    if (!file.open(QIODevice::ReadOnly))
        return 0.0;
    bool ok = false;
    const double seconds = file.read(64).trimmed().toDouble(&ok);
    return ok && seconds > 0.0 ? seconds : 0.0;
}

// Every URI of the local playlist must name one of the task folder's key
// files: another would have ffmpeg read a file that is not the lesson's, and
// an address is beyond its protocol whitelist.
bool NamesRemoteAddress(const QString& localPlaylist)
{
    QFile file(localPlaylist);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    static const QRegularExpression foreignUri(
        QStringLiteral("URI=(?!\"%1)").arg(QRegularExpression::escape(QLatin1String(NdTaskFolder::kKeyFilePrefix))));
    return foreignUri.match(QString::fromUtf8(file.readAll())).hasMatch();
}

// A wrong key, a damaged or missing segment or a full disk make a video that
// ffmpeg may still write without an error, only shorter, empty or cut off
// (on a full disk ffmpeg 5 exits with 0 all the same): the video itself is read
// back for its length.
bool MatchesPlaylist(const QString& ffmpeg, const QString& video, const NdTaskFolder& folder, QString& problem)
{
    const double expected = ExpectedSeconds(folder);
    if (expected <= 0.0)
        return true;
    const double actual = ProbeSeconds(ffmpeg, video, problem);
    if (actual < 0.0)
        return false;
    const double tolerance = std::max(kDurationToleranceSeconds, expected * kDurationToleranceShare);
    if (std::fabs(actual - expected) <= tolerance)
        return true;
    problem = QStringLiteral("the video lasts %1 s, the playlist %2 s").arg(actual, 0, 'f', 2).arg(expected, 0, 'f', 2);
    return false;
}

// The local playlist of the folder, or "" when it has none.
QString LocalPlaylistOf(const NdTaskFolder& folder)
{
    const QString path = folder.FilePath(QLatin1String(NdTaskFolder::kLocalPlaylistName));
    return QFileInfo::exists(path) ? path : QString();
}

// ffmpeg's arguments for a merge into output: from the local playlist when
// there is one, from the concat list otherwise. The HLS demuxer reads the
// segments as one stream and probes only the first, where the concat demuxer
// opens and probes every file: several times faster for a lesson of hundreds
// of segments. Across a discontinuity the two set the timestamps differently,
// and there the concat list's way is kept.
QStringList MergeArguments(const QString& localPlaylist, const QString& listFile, const QString& output)
{
    QStringList arguments{QStringLiteral("-y")};
    if (!localPlaylist.isEmpty()) {
        // Named rather than probed: the probe wants tags that a playlist need
        // not have. "file,crypto": ffmpeg opens the segment and key files of the
        // folder and nothing else, whatever a playlist line says.
        arguments << QStringLiteral("-f") << QStringLiteral("hls") << QStringLiteral("-allowed_extensions")
                  << QStringLiteral("ALL") << QStringLiteral("-protocol_whitelist") << QStringLiteral("file,crypto")
                  << QStringLiteral("-i") << localPlaylist << QStringLiteral("-c") << QStringLiteral("copy");
    } else {
        arguments << QStringLiteral("-f") << QStringLiteral("concat") << QStringLiteral("-safe") << QStringLiteral("0")
                  << QStringLiteral("-i") << listFile << QStringLiteral("-vcodec") << QStringLiteral("copy")
                  << QStringLiteral("-acodec") << QStringLiteral("copy");
    }
    return arguments << output;
}

} // namespace

QString NdConverter::FfmpegPath()
{
    const QString bundled = QCoreApplication::applicationDirPath() + QStringLiteral("/ffmpeg");
    const QFileInfo info(bundled);
    if (info.isFile() && info.isExecutable())
        return bundled;
    return QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
}

bool NdConverter::WriteConcatList(const QString& folder)
{
    const QDir dir(folder);
    if (folder.isEmpty() || !dir.exists())
        return false;
    int count = 0;
    for (const QString& name : dir.entryList({QStringLiteral("*.ts")}, QDir::Files)) {
        if (name.section(QLatin1Char('.'), -1) == QLatin1String("ts"))
            ++count;
    }
    QByteArray list;
    for (int i = 1; i <= count; ++i)
        list += "file '" + QByteArray::number(i) + ".ts'\n";
    NdCommHelper::WriteFileWhole(dir.filePath(QLatin1String(NdTaskFolder::kConcatListName)), list);
    return true;
}

bool NdConverter::Merge(const QString& listFile, const QString& output)
{
    const NdTaskFolder folder = NdTaskFolder::At(QFileInfo(listFile).path());
    const QString localPlaylist = LocalPlaylistOf(folder);
    const QString program = FfmpegPath();
    if (program.isEmpty()) {
        ND_LOG(LogError, "ffmpeg was found neither beside the program nor on the PATH.");
        return false;
    }
    if (!localPlaylist.isEmpty() && NamesRemoteAddress(localPlaylist)) {
        ND_LOG(LogError, "%s names an address to fetch; it is not merged.", qUtf8Printable(localPlaylist));
        return false;
    }
    // Files left by an earlier attempt must not pass for this run's result,
    // nor a move that never happened for a move.
    NdTaskFolder::At(QFileInfo(output).path()).RemoveFile(QFileInfo(output).fileName());
    folder.RemoveFile(QLatin1String(NdTaskFolder::kMoveJournalName));
    NdProcessOutcome_t outcome;
    {
        // Held for the run alone: tasks that finish together prepare and check
        // their merges meanwhile.
        std::unique_lock<std::timed_mutex> converter(ConverterLock(), std::defer_lock);
        outcome.Stopped = !TakeConverter(converter);
        if (!outcome.Stopped)
            outcome = RunToEnd(program, MergeArguments(localPlaylist, listFile, output));
    }
    if (outcome.Stopped) {
        ND_LOG(LogInfo, "The merge of %s stopped with its task.", qUtf8Printable(listFile));
        return false;
    }
    if (!outcome.Ok) {
        ND_LOG(LogError, "ffmpeg failed on %s: %s", qUtf8Printable(listFile), qUtf8Printable(outcome.Problem));
        return false;
    }
    if (!QFileInfo::exists(output))
        return false;
    QString problem;
    if (!MatchesPlaylist(program, output, folder, problem)) {
        ND_LOG(LogError, "The merged video of %s is not whole: %s", qUtf8Printable(listFile), qUtf8Printable(problem));
        return false;
    }
    return true;
}
