#include "NdDownloaderBackEndImpl.h"

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
const qint64 kAesKeyBytes = 16;
// Caps on what the outside sends: a server's answer, a playlist and the
// segments it may name, one segment, one key.
const qint64 kMaxAnswerBytes = 4 << 20;
const qint64 kMaxPlaylistBytes = 16 << 20;
const size_t kMaxPlaylistSegments = 200000;
const qint64 kMaxSegmentBytes = qint64(1) << 30;
const qint64 kMaxKeyBytes = 4096;
// A merged video may differ from the playlist's own length by this much.
const double kDurationToleranceSeconds = 1.0;
const double kDurationToleranceShare = 0.01;
// A master playlist may name another master playlist; follow a few, not forever.
const int kMaxPlaylistHops = 3;
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

// ---------------------------------------------------------------------------
// Playlist text

bool Contains(const std::string& line, const char* part)
{
    return line.find(part) != std::string::npos;
}

bool StartsWith(const std::string& line, const char* prefix)
{
    return line.rfind(prefix, 0) == 0;
}

bool IsBlank(const std::string& line)
{
    return line.find_first_not_of(" \t") == std::string::npos;
}

// Tags and "#" comments are never segments.
bool IsTagOrComment(const std::string& line)
{
    return Contains(line, "#EXT") || StartsWith(line, "#");
}

bool IsSegmentLine(const std::string& line)
{
    return !IsTagOrComment(line);
}

std::string WithoutTrailingCr(std::string line)
{
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

std::string Trimmed(const std::string& line)
{
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::string();
    const size_t last = line.find_last_not_of(" \t");
    return line.substr(first, last - first + 1);
}

// The playlist's lines without line ends; blank lines carry nothing and are dropped.
std::vector<std::string> PlaylistLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = WithoutTrailingCr(text.substr(start, end - start));
        if (!IsBlank(line))
            lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::string ResolveUri(const QUrl& base, const std::string& uri)
{
    const QUrl reference(NdCommHelper::FromUtf8(Trimmed(uri)), QUrl::TolerantMode);
    return NdCommHelper::ToUtf8(base.resolved(reference).toString(QUrl::FullyEncoded));
}

// An attribute list ("METHOD=AES-128,URI=\"k\",IV=0x1") split at the commas
// that stand outside quotes, as players read it.
QStringList SplitAttributes(const QString& list)
{
    QStringList attributes;
    QString current;
    bool quoted = false;
    for (const QChar c : list) {
        if (c == QLatin1Char('"'))
            quoted = !quoted;
        if (c == QLatin1Char(',') && !quoted) {
            attributes << current;
            current.clear();
        } else {
            current += c;
        }
    }
    attributes << current;
    return attributes;
}

QString Unquoted(QString value)
{
    value = value.trimmed();
    if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"')))
        value = value.mid(1, value.size() - 2);
    return value;
}

// A key's file is named after its address, so a playlist fetched again with
// other keys never finds an old key under the new one's name.
QString KeyFileName(const std::string& address)
{
    const QByteArray digest = QCryptographicHash::hash(QByteArray::fromStdString(address), QCryptographicHash::Sha256);
    return QLatin1String(kKeyFilePrefix) + QString::fromLatin1(digest.toHex().left(16));
}

// Points every URI attribute of a key line at a file in the task folder, so
// that ffmpeg merges offline; the keys themselves are fetched through the
// verified client. Quoted or not, and however often the attribute is given.
std::vector<NdPlaylistKey_t> LocaliseKeyUris(std::vector<std::string>& lines, const QUrl& base)
{
    std::vector<NdPlaylistKey_t> keys;
    for (std::string& line : lines) {
        const size_t colon = line.find(':');
        if (!Contains(line, "EXT-X-KEY") || colon == std::string::npos)
            continue;
        QStringList attributes = SplitAttributes(NdCommHelper::FromUtf8(line.substr(colon + 1)));
        for (QString& attribute : attributes) {
            const int equals = attribute.indexOf(QLatin1Char('='));
            if (equals < 0 || attribute.left(equals).trimmed() != QLatin1String("URI"))
                continue;
            const std::string address = ResolveUri(base, NdCommHelper::ToUtf8(Unquoted(attribute.mid(equals + 1))));
            const QString localName = KeyFileName(address);
            if (std::none_of(
                    keys.begin(), keys.end(), [&](const NdPlaylistKey_t& key) { return key.Address == address; }))
                keys.push_back({address, localName});
            attribute = QStringLiteral("URI=\"%1\"").arg(localName);
        }
        line = line.substr(0, colon + 1) + NdCommHelper::ToUtf8(attributes.join(QLatin1Char(',')));
    }
    return keys;
}

// Tags that name something to fetch besides the keys (alternative renditions,
// preload hints) are left out of the local playlist: ffmpeg would fetch them.
bool NamesRemoteResource(const std::string& line)
{
    return IsTagOrComment(line) && Contains(line, "URI=") && !Contains(line, "EXT-X-KEY");
}

QString NetworkErrorName(int code)
{
    const char* name = QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(code);
    return name ? QString::fromLatin1(name) : QStringLiteral("network error %1").arg(code);
}

// The sum of the segments' #EXTINF durations: how long the merged video must
// be. The local playlist of an encrypted stream ends at #EXT-X-ENDLIST, so its
// video does too.
double PlaylistSeconds(const std::vector<std::string>& lines, bool untilEndList)
{
    double seconds = 0.0;
    for (const std::string& line : lines) {
        if (untilEndList && Contains(line, "#EXT-X-ENDLIST"))
            break;
        if (!StartsWith(line, "#EXTINF:"))
            continue;
        std::istringstream stream(line.substr(8));
        stream.imbue(std::locale::classic());
        double duration = 0.0;
        if (stream >> duration && duration > 0.0 && std::isfinite(duration))
            seconds += duration;
    }
    return seconds;
}

const char* UnsupportedTag(const std::vector<std::string>& lines)
{
    static const char* const unsupported[] = {"#EXT-X-MAP", "#EXT-X-BYTERANGE", "#EXT-X-STREAM-INF"};
    for (const std::string& line : lines) {
        for (const char* tag : unsupported) {
            if (StartsWith(line, tag))
                return tag;
        }
    }
    return nullptr;
}

long long VariantBandwidth(const std::string& streamInf)
{
    const QRegularExpression bandwidth(QStringLiteral("[:,]\\s*BANDWIDTH=(\\d+)"));
    const QRegularExpressionMatch match = bandwidth.match(NdCommHelper::FromUtf8(streamInf));
    return match.hasMatch() ? match.captured(1).toLongLong() : 0;
}

// The variant with the highest BANDWIDTH, the first one on a tie; "" when none is named.
std::string ChooseVariant(const std::vector<std::string>& lines)
{
    std::string chosen;
    long long chosenBandwidth = -1;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (!StartsWith(lines[i], "#EXT-X-STREAM-INF"))
            continue;
        const long long bandwidth = VariantBandwidth(lines[i]);
        size_t uriLine = i + 1;
        while (uriLine < lines.size() && IsTagOrComment(lines[uriLine])
            && !StartsWith(lines[uriLine], "#EXT-X-STREAM-INF"))
            ++uriLine;
        if (uriLine >= lines.size() || IsTagOrComment(lines[uriLine]))
            continue;
        if (bandwidth > chosenBandwidth) {
            chosen = lines[uriLine];
            chosenBandwidth = bandwidth;
        }
    }
    return chosen;
}

// File contents up to the first NUL byte; empty when the file is missing or empty.
std::string ReadTextFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::string();
    const QByteArray bytes = file.readAll();
    const int nul = bytes.indexOf('\0');
    return (nul < 0 ? bytes : bytes.left(nul)).toStdString();
}

// The file of that name in the folder.
QString FileIn(const QString& folder, const char* name)
{
    return folder + QLatin1Char('/') + QLatin1String(name);
}

// ---------------------------------------------------------------------------
// Playlist download: one or more transfers into the same local file, following
// a master playlist to its best variant.

class NdPlaylistFetch : public std::enable_shared_from_this<NdPlaylistFetch>
{
public:
    using CompleteFn = INdDownloaderBackEnd::CompleteFn;
    using ProgressFn = INdDownloaderBackEnd::ProgressFn;

    NdPlaylistFetch(
        const QString& folder, const QString& m3u8Url, CompleteFn onComplete, ProgressFn onProgress, bool async)
        : m_localPath(NdDownloaderBackEndImpl::LocalPlaylistPath(folder, m3u8Url))
        , m_addressPath(NdDownloaderBackEndImpl::PlaylistAddressFilePath(folder))
        , m_onComplete(std::move(onComplete))
        , m_onProgress(std::move(onProgress))
        , m_async(async)
    { }

    void Start(const QString& url)
    {
        m_finalUrl = url;
        m_failed = false;
        m_ended = false;
        std::shared_ptr<NdPlaylistFetch> self = shared_from_this();
        auto request = std::make_unique<NdHttpManager>(url);
        if (m_onProgress)
            request->DownloadProgress(m_onProgress);
        request->MaxBytes(kMaxPlaylistBytes);
        request->FinalUrl([self](const QString& finalUrl) { self->m_finalUrl = finalUrl; });
        request->Fail([self](const QString&, int) { self->m_failed = true; });
        request->Complete([self]() { self->OnComplete(); });
        if (m_async)
            StartAsync(std::move(request));
        else
            StartSync(std::move(request));
    }

private:
    void StartSync(std::unique_ptr<NdHttpManager> request)
    {
        request->DownloadSync(m_localPath);
        request.reset();
        // No completion means the local file could not be created: nothing was sent.
        if (m_ended)
            OnTransferEnded();
    }

    void StartAsync(std::unique_ptr<NdHttpManager> request)
    {
        // The builder must outlive an asynchronous download; it is released once the transfer has ended.
        NdHttpManager* raw = request.get();
        m_request = std::move(request);
        raw->Download(m_localPath);
        if (m_failed && !m_ended)
            m_request.reset();
    }

    void OnComplete()
    {
        m_ended = true;
        if (!m_async)
            return;
        // Leave the request layer's handler before the builder goes away.
        std::shared_ptr<NdPlaylistFetch> self = shared_from_this();
        QTimer::singleShot(0, [self]() {
            self->m_request.reset();
            self->OnTransferEnded();
        });
    }

    void OnTransferEnded()
    {
        if (m_failed) {
            // An error page must never be taken for the playlist.
            const NdTaskFolder folder = NdTaskFolder::At(QFileInfo(m_localPath).path());
            folder.RemoveFile(QFileInfo(m_localPath).fileName());
            folder.RemoveFile(QFileInfo(m_addressPath).fileName());
            Finish();
            return;
        }
        NdCommHelper::WriteFileWhole(m_addressPath, m_finalUrl.toUtf8());
        if (m_hops < kMaxPlaylistHops) {
            const std::string variant = NdDownloaderBackEndImpl::MasterPlaylistVariant(ReadTextFile(m_localPath));
            if (!variant.empty()) {
                ++m_hops;
                Start(NdCommHelper::FromUtf8(ResolveUri(QUrl(m_finalUrl), variant)));
                return;
            }
        }
        Finish();
    }

    void Finish()
    {
        if (m_onComplete)
            m_onComplete();
    }

    const QString m_localPath;
    const QString m_addressPath;
    const CompleteFn m_onComplete;
    const ProgressFn m_onProgress;
    const bool m_async;
    std::unique_ptr<NdHttpManager> m_request;
    QString m_finalUrl;
    bool m_failed = false;
    bool m_ended = false;
    int m_hops = 0;
};

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
// Playlists

QString NdDownloaderBackEndImpl::LocalPlaylistName(const QString& m3u8Url)
{
    QString name = m3u8Url.mid(m3u8Url.lastIndexOf(QLatin1Char('/')) + 1);
    const int query = name.indexOf(QLatin1Char('?'));
    if (query > 0)
        name.truncate(query);
    // Keep the playlist off the names the task folder already uses for itself.
    // Segment files and their partial forms included: a playlist stored as
    // "3.ts" would count, and be merged, as a segment.
    static const QStringList reserved = {QString(), QStringLiteral("."), QStringLiteral(".."),
        QLatin1String(NdTaskFolder::kMergedFileName), QLatin1String(NdTaskFolder::kPlaylistAddressName)};
    const bool segmentLike
        = name.endsWith(QLatin1String(".ts"), Qt::CaseInsensitive) || name.endsWith(QLatin1String(".part"));
    if (reserved.contains(name) || segmentLike || name.startsWith(QLatin1String(NdTaskFolder::kOwnFilePrefix)))
        name.prepend(QStringLiteral("remote-"));
    return name;
}

QString NdDownloaderBackEndImpl::LocalPlaylistPath(const QString& folder, const QString& m3u8Url)
{
    return folder + QLatin1Char('/') + LocalPlaylistName(m3u8Url);
}

QString NdDownloaderBackEndImpl::PlaylistAddressFilePath(const QString& folder)
{
    return FileIn(folder, NdTaskFolder::kPlaylistAddressName);
}

QString NdDownloaderBackEndImpl::EncryptedPlaylistPath(const QString& siblingPath)
{
    return FileIn(QFileInfo(siblingPath).path(), NdTaskFolder::kLocalPlaylistName);
}

void NdDownloaderBackEndImpl::DownloadM3U8File(
    const std::string& m3u8Url, const std::string& folder, CompleteFn onComplete)
{
    const QString url = NdCommHelper::FromUtf8(m3u8Url);
    auto fetch = std::make_shared<NdPlaylistFetch>(
        NdCommHelper::FromUtf8(folder), url, std::move(onComplete), ProgressFn(), true);
    fetch->Start(url);
}

void NdDownloaderBackEndImpl::DownloadM3U8FileSync(
    const std::string& m3u8Url, const std::string& folder, CompleteFn onComplete, ProgressFn onProgress)
{
    const QString url = NdCommHelper::FromUtf8(m3u8Url);
    auto fetch = std::make_shared<NdPlaylistFetch>(
        NdCommHelper::FromUtf8(folder), url, std::move(onComplete), std::move(onProgress), false);
    fetch->Start(url);
}

std::string NdDownloaderBackEndImpl::MasterPlaylistVariant(const std::string& text)
{
    return ChooseVariant(PlaylistLines(text));
}

bool NdDownloaderBackEndImpl::M3U8Parse(
    const std::string& folder, const std::string& m3u8Url, std::vector<std::string>& segments)
{
    const QString localFolder = NdCommHelper::FromUtf8(folder);
    if (folder.empty() || m3u8Url.empty() || !QFileInfo(localFolder).isDir())
        return false;
    const QString playlistPath = LocalPlaylistPath(localFolder, NdCommHelper::FromUtf8(m3u8Url));
    const std::string text = ReadTextFile(playlistPath);
    if (text.empty())
        return false;
    // Relative entries belong to the address that finally answered, which a redirect may have changed.
    std::string address = Trimmed(ReadTextFile(PlaylistAddressFilePath(localFolder)));
    if (address.empty())
        address = m3u8Url;
    const NdPlaylistFacts_t facts = FormatPlaylist(NdCommHelper::ToUtf8(playlistPath), text, address, segments);
    // Without it the merged video could not be checked: a full disk, of all
    // times, is when merges come out short.
    const QString durationPath = FileIn(localFolder, NdTaskFolder::kDurationFileName);
    bool durationKept = true;
    if (facts.Seconds > 0.0)
        durationKept = NdCommHelper::WriteFileWhole(durationPath, QByteArray::number(facts.Seconds, 'f', 3));
    else
        NdTaskFolder::At(localFolder).RemoveFile(QLatin1String(NdTaskFolder::kDurationFileName));
    if (!durationKept) {
        ND_LOG(LogError, "Cannot write %s.", durationPath.toUtf8().constData());
        segments.clear();
    } else if (!FetchKeys(localFolder, facts.Keys, QUrl(NdCommHelper::FromUtf8(address), QUrl::TolerantMode))) {
        segments.clear();
    }
    return true;
}

bool NdDownloaderBackEndImpl::FetchKeys(
    const QString& folder, const std::vector<NdPlaylistKey_t>& keys, const QUrl& playlistAddress)
{
    const NdTaskFolder taskFolder = NdTaskFolder::At(folder);
    for (const NdPlaylistKey_t& key : keys) {
        const QString address = NdCommHelper::FromUtf8(key.Address);
        const QString path = taskFolder.FilePath(key.LocalName);
        // Fetched by an earlier run: a resumed task needs no network for it.
        if (QFileInfo(path).size() == kAesKeyBytes)
            continue;
        const QString partial = key.LocalName + QStringLiteral(".part");
        QString problem;
        if (playlistAddress.scheme() == QLatin1String("https") && QUrl(address).scheme() != QLatin1String("https")) {
            // Whoever can read plain http could decrypt the lesson, or hand over another key.
            problem = QStringLiteral("plain http under an https playlist");
        } else {
            // Qt's error texts repeat the whole address, query included.
            NdHttpManager(address)
                .MaxBytes(kMaxKeyBytes)
                .Fail([&problem](const QString&, int code) {
                    problem = code == NdHttpManager::kLocalFileError ? QStringLiteral("cannot write it")
                                                                     : NetworkErrorName(code);
                })
                .DownloadSync(taskFolder.FilePath(partial));
        }
        const qint64 size = QFileInfo(taskFolder.FilePath(partial)).size();
        if (problem.isEmpty() && size != kAesKeyBytes)
            problem = QStringLiteral("%1 bytes instead of %2").arg(size).arg(kAesKeyBytes);
        if (problem.isEmpty()
            && ::rename(
                   QFile::encodeName(taskFolder.FilePath(partial)).constData(), QFile::encodeName(path).constData())
                == 0)
            continue;
        taskFolder.RemoveFile(partial);
        ND_LOG(LogError, "Cannot fetch the AES key %s: %s", qUtf8Printable(NdCommHelper::LoggableAddress(address)),
            qUtf8Printable(problem.isEmpty() ? QStringLiteral("cannot write it") : problem));
        return false;
    }
    return true;
}

void NdDownloaderBackEndImpl::M3U8StringFormat(const std::string& playlistPath, const std::string& text,
    const std::string& m3u8Url, std::vector<std::string>& segments)
{
    FormatPlaylist(playlistPath, text, m3u8Url, segments);
}

NdPlaylistFacts_t NdDownloaderBackEndImpl::FormatPlaylist(const std::string& playlistPath, const std::string& text,
    const std::string& m3u8Url, std::vector<std::string>& segments)
{
    NdPlaylistFacts_t facts;
    std::vector<std::string> lines = PlaylistLines(text.substr(0, text.find('\0')));
    if (lines.empty())
        return facts;
    if (const char* tag = UnsupportedTag(lines)) {
        ND_LOG(LogError, "Playlist %s uses %s, which is not supported: no segments taken.", playlistPath.c_str(), tag);
        return facts;
    }
    const QUrl base(NdCommHelper::FromUtf8(m3u8Url), QUrl::TolerantMode);
    const bool encrypted
        = std::any_of(lines.begin(), lines.end(), [](const std::string& line) { return Contains(line, "EXT-X-KEY"); });
    lines.erase(std::remove_if(lines.begin(), lines.end(), NamesRemoteResource), lines.end());
    facts.Keys = LocaliseKeyUris(lines, base);
    facts.Seconds = PlaylistSeconds(lines, encrypted);
    if (encrypted)
        SaveDrmM3U8File(playlistPath, lines);
    const size_t count = static_cast<size_t>(std::count_if(lines.begin(), lines.end(), IsSegmentLine));
    if (count > kMaxPlaylistSegments) {
        ND_LOG(LogError, "Playlist %s names %zu segments, more than %zu: no segments taken.", playlistPath.c_str(),
            count, kMaxPlaylistSegments);
        return NdPlaylistFacts_t();
    }
    for (const std::string& line : lines) {
        if (IsSegmentLine(line))
            segments.push_back(ResolveUri(base, line));
    }
    return facts;
}

bool NdDownloaderBackEndImpl::SaveDrmM3U8File(const std::string& playlistPath, const std::vector<std::string>& lines)
{
    if (playlistPath.empty() || lines.empty())
        return false;
    QByteArray text;
    int counter = 0;
    for (const std::string& rawLine : lines) {
        const std::string line = WithoutTrailingCr(rawLine);
        if (IsBlank(line))
            continue;
        if (IsTagOrComment(line))
            text += QByteArray::fromStdString(line);
        else
            text += QByteArray::number(++counter) + ".ts";
        text += '\n';
        if (Contains(line, "#EXT-X-ENDLIST"))
            break;
    }
    return NdCommHelper::WriteFileWhole(EncryptedPlaylistPath(NdCommHelper::FromUtf8(playlistPath)), text);
}

// ---------------------------------------------------------------------------
// Segments

// The segment arrives under a name of its own and takes its final name only
// whole: a resumed task never counts a half file, an aborted or retried
// transfer never leaves one.
void NdDownloaderBackEndImpl::DownloadTsFile(const std::string& tsUrl, const std::string& filePath, SuccessFn onSuccess,
    FailFn onFail, ProgressFn onProgress, QNetworkAccessManager* manager)
{
    const QString target = NdCommHelper::FromUtf8(filePath);
    const QString partial = target + QStringLiteral(".part");
    NdHttpManager(NdCommHelper::FromUtf8(tsUrl))
        .ReuseManager(manager)
        .MaxBytes(kMaxSegmentBytes)
        .DownloadProgress(std::move(onProgress))
        .Success([&](const QString& text) {
            if (::rename(QFile::encodeName(partial).constData(), QFile::encodeName(target).constData()) == 0) {
                if (onSuccess)
                    onSuccess(text);
            } else if (onFail) {
                onFail(QStringLiteral("Failed to write file: %1").arg(target), NdHttpManager::kLocalFileError);
            }
        })
        .Fail(std::move(onFail))
        .DownloadSync(partial);
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
    QString localPlaylist = EncryptedPlaylistPath(list);
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
