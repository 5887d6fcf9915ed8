#include "NdDownloaderBackEndImpl.h"

#include "NdPlaylistFetch.h"
#include "NdRetryPolicy.h"
#include "NdServerAnswer.h"
#include "NdTaskFolder.h"

#include "NdCore/NdCacheManager.h"
#include "NdCore/NdCommHelper.h"
#include "NdCore/NdDeploySettings.h"
#include "NdCore/NdHttpManager.h"
#include "NdCore/NdLogManager.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMetaEnum>
#include <QMutexLocker>
#include <QNetworkInterface>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <json/json.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <memory>

#include <fcntl.h>
#include <unistd.h>
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

using NdDownloaderInterface::INdDownloaderBackEnd;

namespace {

const char* const kSoftVersion = "1.0.4";
// The AES keys of a task: "filelist.key-<hash of the address>".
const char* const kKeyFilePrefix = "filelist.key-";
// Caps on what the outside sends: a server's answer, one segment.
const qint64 kMaxAnswerBytes = 4 << 20;
const qint64 kMaxSegmentBytes = qint64(1) << 30;
// A merged video may differ from the playlist's own length by this much.
const double kDurationToleranceSeconds = 1.0;
const double kDurationToleranceShare = 0.01;
const int kFfmpegStartTimeoutMs = 30 * 1000;
// ffmpeg prints progress several times a second while it works; this long
// without a word means it hangs.
const int kFfmpegSilenceLimitMs = 10 * 60 * 1000;
const int kFfmpegPollMs = 500;

int CurrentEnvironment()
{
    return NdCacheManager::GetInstance()->GetBackEndEnvironment();
}

// The internal and test servers serve several applications and need to know which one asks.
bool EnvironmentWantsAppId(int environment)
{
    return environment == InternalTest || environment == Test;
}

std::string StyledJson(const Json::Value& value)
{
    return value.toStyledString();
}

// The file of that name in the folder.
QString FileIn(const QString& folder, const char* name)
{
    return folder + QLatin1Char('/') + QLatin1String(name);
}

// ---------------------------------------------------------------------------
// ffmpeg

struct NdProcessOutcome_t
{
    bool Ok = false;
    QString Problem;
    QByteArray Head; // the start of the output, where ffmpeg describes its input
};

const int kOutputHeadBytes = 16 * 1024;

// ffmpeg ends with the program: killed, the program must not leave a merge
// writing into the folder that its next run merges in again.
class NdChildProcess : public QProcess
{
public:
    NdChildProcess() : m_parent(::getpid()) { }

protected:
    void setupChildProcess() override
    {
#ifdef Q_OS_LINUX
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != m_parent)
            ::_exit(127);
#endif
    }

private:
    const pid_t m_parent;
};

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
        if (process.waitForReadyRead(kFfmpegPollMs)) {
            const QByteArray output = process.readAll();
            if (outcome.Head.size() < kOutputHeadBytes)
                outcome.Head += output.left(kOutputHeadBytes - outcome.Head.size());
            lastOutput = output.right(400);
            silence.restart();
        } else if (silence.elapsed() > kFfmpegSilenceLimitMs) {
            process.kill();
            process.waitForFinished(kFfmpegStartTimeoutMs);
            outcome.Problem = QStringLiteral("killed after a long silence");
            return outcome;
        }
    }
    const QByteArray rest = process.readAll();
    if (outcome.Head.size() < kOutputHeadBytes)
        outcome.Head += rest.left(kOutputHeadBytes - outcome.Head.size());
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

double ExpectedSeconds(const QString& folder)
{
    QFile file(FileIn(folder, NdTaskFolder::kDurationFileName));
    if (!file.open(QIODevice::ReadOnly))
        return 0.0;
    bool ok = false;
    const double seconds = file.read(64).trimmed().toDouble(&ok);
    return ok && seconds > 0.0 ? seconds : 0.0;
}

// ffmpeg would fetch whatever the local playlist names by address: every URI
// in it must be one of the task folder's key files.
bool NamesRemoteAddress(const QString& localPlaylist)
{
    QFile file(localPlaylist);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    static const QRegularExpression foreignUri(
        QStringLiteral("URI=(?!\"%1)").arg(QRegularExpression::escape(QLatin1String(kKeyFilePrefix))));
    return foreignUri.match(QString::fromUtf8(file.readAll())).hasMatch();
}

// A wrong key, a damaged or missing segment or a full disk make a video that
// ffmpeg may still write without an error, only shorter, empty or cut off
// (on a full disk ffmpeg 5 exits with 0 all the same): the video itself is read
// back for its length.
bool MatchesPlaylist(const QString& ffmpeg, const QString& video, const QString& folder, QString& problem)
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

// ---------------------------------------------------------------------------
// Reporting

void PostReport(const QString& url, const std::string& document, bool sync)
{
    NdHttpManager request(url);
    request.MaxBytes(kMaxAnswerBytes)
        .Header(QStringLiteral("Content-Type"), QStringLiteral("application/json"))
        .Json(NdCommHelper::FromUtf8(document));
    if (sync)
        request.PostSync();
    else
        request.PostAsync();
}

// An asynchronous request lives on the thread that fires it and needs that
// thread's event loop until it ends. Task threads have none, so their
// asynchronous reports are fired from the application's thread instead.
void PostReportAsync(const QString& url, const std::string& document)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) {
        PostReport(url, document, true);
        return;
    }
    if (QThread::currentThread() == app->thread()) {
        PostReport(url, document, false);
        return;
    }
    QMetaObject::invokeMethod(
        app, [url, document]() { PostReport(url, document, false); }, Qt::QueuedConnection);
}

} // namespace

// ---------------------------------------------------------------------------

INdDownloaderBackEnd* INdDownloaderBackEnd::GetInstance()
{
    // Never destroyed: task threads may still use it while the process ends.
    static INdDownloaderBackEnd* const instance = new NdDownloaderBackEndImpl;
    return instance;
}

NdDownloaderBackEndImpl::NdDownloaderBackEndImpl() = default;

NdDownloaderBackEndImpl::~NdDownloaderBackEndImpl() = default;

// ---------------------------------------------------------------------------
// Server queries

bool NdDownloaderBackEndImpl::GetDownloadTaskByToken(const std::string& token, std::vector<DownloadTaskParam_t>& tasks)
{
    const int environment = CurrentEnvironment();
    const NdDeploySettings settings = NdDeploySettings::Get();
    Json::Value body(Json::objectValue);
    body["token"] = token;
    if (EnvironmentWantsAppId(environment))
        body["app_id"] = NdCommHelper::ToUtf8(settings.AppId);

    bool ok = false;
    NdTokenAnswer_t answer;
    NdHttpManager(settings.AdminBaseUrl(environment) + QStringLiteral("alive_b/alive_download/get_download_data"))
        .MaxBytes(kMaxAnswerBytes)
        .Header(QStringLiteral("Content-Type"), QStringLiteral("application/json"))
        .Success([&](const QString& text) { ok = NdServerAnswer::ReadTokenAnswer(text, answer); })
        .Fail([&](const QString&, int) { ok = false; })
        .Json(NdCommHelper::FromUtf8(StyledJson(body)))
        .PostSync();

    if (!ok)
        return false;
    if (!answer.Tasks.empty())
        CacheIds(answer.UserId, answer.AppId);
    tasks.insert(tasks.end(), answer.Tasks.begin(), answer.Tasks.end());
    return true;
}

void NdDownloaderBackEndImpl::GetSoftVersion(NdSoftVersion_t& version)
{
    const int environment = CurrentEnvironment();
    const NdDeploySettings settings = NdDeploySettings::Get();
    Json::Value body(Json::objectValue);
    if (EnvironmentWantsAppId(environment))
        body["app_id"] = NdCommHelper::ToUtf8(settings.AppId);
    body["platform"] = 2;
    body["version"] = kSoftVersion;
    body["MAC"] = NdCommHelper::ToUtf8(GetHostMacAddress());

    NdHttpManager(settings.AdminBaseUrl(environment) + QStringLiteral("alive_b/alive_download/get_download_link/"))
        .MaxBytes(kMaxAnswerBytes)
        .Header(QStringLiteral("Content-Type"), QStringLiteral("application/json"))
        .Json(NdCommHelper::FromUtf8(StyledJson(body)))
        .Success([&](const QString& text) {
            if (text.isEmpty()) {
                qDebug() << "No data";
                return;
            }
            NdServerAnswer::ReadVersionAnswer(text, version);
        })
        .Fail([](const QString& error, int code) {
            qDebug().noquote() << QStringLiteral("Bad request: %1, Code: %2").arg(error).arg(code);
        })
        .PostSync();
}

QString NdDownloaderBackEndImpl::GetHostMacAddress()
{
    const auto wanted = QNetworkInterface::IsUp | QNetworkInterface::IsRunning;
    for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
        const QNetworkInterface::InterfaceFlags flags = interface.flags();
        if ((flags & wanted) == wanted && !(flags & QNetworkInterface::IsLoopBack))
            return interface.hardwareAddress();
    }
    return QString();
}

void NdDownloaderBackEndImpl::CacheIds(const std::string& userId, const std::string& appId)
{
    QMutexLocker locker(&m_IdLock);
    CachedUserId = userId;
    CachedAppId = appId;
}

void NdDownloaderBackEndImpl::CachedIds(std::string& userId, std::string& appId) const
{
    QMutexLocker locker(&m_IdLock);
    userId = CachedUserId;
    appId = CachedAppId;
}

// ---------------------------------------------------------------------------
// Segments

// The segment arrives under a name of its own and takes its final name only
// whole: a resumed task never counts a half file, an aborted or retried
// transfer never leaves one. Transient failures are tried again first.
void NdDownloaderBackEndImpl::DownloadTsFile(const std::string& tsUrl, const std::string& filePath, SuccessFn onSuccess,
    FailFn onFail, ProgressFn onProgress, QNetworkAccessManager* manager)
{
    const QString target = NdCommHelper::FromUtf8(filePath);
    const QString partial = target + QStringLiteral(".part");
    NdHttpFailure_t outcome = NdRetryPolicy::Run(
        QStringLiteral("segment %1").arg(QFileInfo(target).completeBaseName()), [&] {
            NdHttpManager request(NdCommHelper::FromUtf8(tsUrl));
            request.ReuseManager(manager).MaxBytes(kMaxSegmentBytes).DownloadProgress(onProgress).DownloadSync(partial);
            return request.LastFailure();
        });
    if (!outcome.Failed()
        && ::rename(QFile::encodeName(partial).constData(), QFile::encodeName(target).constData()) != 0)
        outcome = NdHttpFailure_t{NdHttpManager::kLocalFileError, 0, QByteArray(), false,
            QStringLiteral("Failed to write file: %1").arg(target)};
    if (outcome.Failed() && onFail)
        onFail(outcome.Text, outcome.Code);
    else if (!outcome.Failed() && onSuccess)
        onSuccess(QStringLiteral("Download complete."));
}

// ---------------------------------------------------------------------------
// Playlists

void NdDownloaderBackEndImpl::DownloadM3U8File(
    const std::string& m3u8Url, const std::string& folder, CompleteFn onComplete)
{
    NdPlaylistFetch::DownloadInBackground(m3u8Url, folder, std::move(onComplete));
}

void NdDownloaderBackEndImpl::DownloadM3U8FileSync(
    const std::string& m3u8Url, const std::string& folder, CompleteFn onComplete, ProgressFn onProgress)
{
    NdPlaylistFetch::Download(m3u8Url, folder, std::move(onComplete), std::move(onProgress));
}

bool NdDownloaderBackEndImpl::M3U8Parse(
    const std::string& folder, const std::string& m3u8Url, std::vector<std::string>& segments)
{
    return NdPlaylistFetch::Parse(folder, m3u8Url, segments);
}

// ---------------------------------------------------------------------------
// Assembly

bool NdDownloaderBackEndImpl::CreateFileList(const std::string& folder)
{
    const QDir dir(NdCommHelper::FromUtf8(folder));
    if (folder.empty() || !dir.exists())
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

QString NdDownloaderBackEndImpl::FfmpegPath()
{
    const QString bundled = QCoreApplication::applicationDirPath() + QStringLiteral("/ffmpeg");
    const QFileInfo info(bundled);
    if (info.isFile() && info.isExecutable())
        return bundled;
    return QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
}

QStringList NdDownloaderBackEndImpl::FfmpegArguments(
    const QString& localPlaylist, const QString& listFile, const QString& output)
{
    QStringList arguments{QStringLiteral("-y")};
    if (!localPlaylist.isEmpty()) {
        arguments << QStringLiteral("-allowed_extensions") << QStringLiteral("ALL")
                  << QStringLiteral("-protocol_whitelist") << QStringLiteral("file,http,https,tls,crypto,tcp")
                  << QStringLiteral("-i") << localPlaylist;
    } else {
        arguments << QStringLiteral("-f") << QStringLiteral("concat") << QStringLiteral("-safe") << QStringLiteral("0")
                  << QStringLiteral("-i") << listFile;
    }
    arguments << QStringLiteral("-vcodec") << QStringLiteral("copy") << QStringLiteral("-acodec")
              << QStringLiteral("copy") << output;
    return arguments;
}

bool NdDownloaderBackEndImpl::TranscodingVideo(const std::string& listFile, const std::string& outputFile)
{
    if (listFile.empty() || outputFile.empty())
        return false;
    const QString list = NdCommHelper::FromUtf8(listFile);
    const QString output = NdCommHelper::FromUtf8(outputFile);
    QString localPlaylist
        = NdTaskFolder::At(QFileInfo(list).path()).FilePath(QLatin1String(NdTaskFolder::kLocalPlaylistName));
    if (!QFileInfo::exists(localPlaylist))
        localPlaylist.clear();

    const QString program = FfmpegPath();
    if (program.isEmpty()) {
        ND_LOG(LogError, "ffmpeg was found neither beside the program nor on the PATH.");
        return false;
    }
    if (!localPlaylist.isEmpty() && NamesRemoteAddress(localPlaylist)) {
        ND_LOG(LogError, "%s names an address to fetch; it is not merged.", localPlaylist.toUtf8().constData());
        return false;
    }
    // Files left by an earlier attempt must not pass for this run's result,
    // nor a move that never happened for a move.
    NdTaskFolder::At(QFileInfo(output).path()).RemoveFile(QFileInfo(output).fileName());
    NdTaskFolder::At(QFileInfo(list).path()).RemoveFile(QLatin1String(NdTaskFolder::kMoveJournalName));
    NdProcessOutcome_t outcome;
    {
        // One converter at a time in the whole program, held for the run alone:
        // tasks that finish together prepare and check their merges meanwhile.
        QMutexLocker locker(&m_TranscodingLock);
        outcome = RunToEnd(program, FfmpegArguments(localPlaylist, list, output));
    }
    if (!outcome.Ok) {
        ND_LOG(LogError, "ffmpeg failed on %s: %s", listFile.c_str(), outcome.Problem.toUtf8().constData());
        return false;
    }
    if (!QFileInfo::exists(output))
        return false;
    QString problem;
    if (!MatchesPlaylist(program, output, QFileInfo(list).path(), problem)) {
        ND_LOG(LogError, "The merged video of %s is not whole: %s", listFile.c_str(), problem.toUtf8().constData());
        return false;
    }
    return true;
}

bool NdDownloaderBackEndImpl::MoveVideo(const std::string& source, const std::string& destination)
{
    const QFileInfo from(NdCommHelper::FromUtf8(source));
    return NdTaskFolder::At(from.absolutePath()).MoveVideo(from.fileName(), NdCommHelper::FromUtf8(destination));
}

// ---------------------------------------------------------------------------
// Deletion

void NdDownloaderBackEndImpl::DeleteTask(const DownloadTaskParam_t& task, bool deleteLocalFile)
{
    if (!task.VideoTempPath.empty())
        NdTaskFolder(task).Remove();
    if (deleteLocalFile)
        NdTaskFolder::DeleteVideo(task);
    NdCacheManager::GetInstance()->DeleteOneDownloadTask(task);
}

// ---------------------------------------------------------------------------
// Reporting

std::string NdDownloaderBackEndImpl::BuildReportDocument(
    const DownloadTaskParam_t& task, int type, const std::string& message)
{
    std::string userId = task.UserId;
    std::string appId = task.AppId;
    if (appId.empty())
        CachedIds(userId, appId);

    Json::Value common(Json::objectValue);
    common["agent"] = "alive_nddownloadr_mac";
    common["alive_id"] = NdCommHelper::ToUtf8(GetHostMacAddress());
    common["alive_type"] = 1;
    common["app_id"] = appId;
    common["build_version"] = kSoftVersion;
    common["client"] = "11";
    common["page"] = "alive_list";
    common["user_id"] = userId;
    common["user_role"] = "0";

    Json::Value api(Json::objectValue);
    if (type == DownloadReport) {
        api["api_url"] = "download_type";
        api["api_params"] = "m3u8_url=" + task.VideoM3U8Url + "&video_name=" + task.VideoName + "&msg=" + message;
    } else if (type == ClickReport) {
        api["api_url"] = "click_butt";
        api["api_params"] = message;
    }
    api["api_type"] = "alive_nddownloader_log";
    api["api_is_success"] = "1";

    Json::Value root(Json::objectValue);
    root["api_data"] = api;
    root["common_data"] = common;
    root["report_type"] = 2;
    return StyledJson(root);
}

void NdDownloaderBackEndImpl::ReportInfo(const DownloadTaskParam_t& task, int type, std::string message, bool async)
{
    const QString url = NdDeploySettings::Get().ReportBase(CurrentEnvironment()) + QStringLiteral("error_report");
    const std::string document = BuildReportDocument(task, type, message);
    if (async)
        PostReportAsync(url, document);
    else
        PostReport(url, document, true);
}
