#include "NdDownloaderBackEndImpl.h"

#include "NdCore/NdCacheManager.h"
#include "NdCore/NdDeploySettings.h"
#include "NdCore/NdHttpManager.h"
#include "NdCore/NdLogManager.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QNetworkInterface>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <json/json.h>

#include <memory>
#include <sstream>

using NdDownloaderInterface::INdDownloaderBackEnd;

namespace {

const char* const kSoftVersion = "1.0.4";
const char* const kEncryptedPlaylistName = "filelist.m3u8";
const char* const kConcatListName = "filelist.txt";
const char* const kMergedFileName = "NdTemp.mp4";
// Remembers the address that finally answered the playlist request, so that a
// resumed task resolves relative entries exactly as the first run did.
const char* const kPlaylistAddressName = "playlist.url";
// A master playlist may name another master playlist; follow a few, not forever.
const int kMaxPlaylistHops = 3;
const int kFfmpegStartTimeoutMs = 30 * 1000;
// ffmpeg prints progress several times a second while it works; this long
// without a word means it hangs (for instance on an unanswered key request).
const int kFfmpegSilenceLimitMs = 10 * 60 * 1000;
const int kFfmpegPollMs = 500;

QString FromUtf8(const std::string& text)
{
    return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

std::string ToUtf8(const QString& text)
{
    return text.toUtf8().toStdString();
}

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

// Comment-tolerant parse; false for anything that is not one complete JSON object.
bool ParseJsonObject(const QString& text, Json::Value& root)
{
    const std::string bytes = ToUtf8(text);
    Json::CharReaderBuilder builder;
    builder["allowComments"] = true;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    root = Json::Value();
    if (!reader->parse(bytes.data(), bytes.data() + bytes.size(), &root, &errors))
        return false;
    return root.isObject();
}

// The longest leading decimal number of a text, read the way atof reads it but
// independent of the process locale; 0 when there is none.
double LeadingNumber(const std::string& text)
{
    std::istringstream stream(text);
    stream.imbue(std::locale::classic());
    double value = 0.0;
    stream >> value;
    return stream.fail() ? 0.0 : value;
}

// "size" comes as text or as a number; anything else is an answer of the wrong shape.
float SizeMember(const Json::Value& size)
{
    if (size.isNumeric())
        return static_cast<float>(size.asDouble());
    if (size.isString())
        return static_cast<float>(LeadingNumber(size.asString()));
    if (size.isNull())
        return 0.0f;
    throw Json::LogicError("size is neither text nor a number");
}

std::string CleanVideoName(const std::string& fileName)
{
    QString name = FromUtf8(fileName);
    for (const QChar forbidden : QStringLiteral("?|:\"<\\/"))
        name.remove(forbidden);
    return ToUtf8(name);
}

struct NdTokenAnswer_t
{
    std::vector<DownloadTaskParam_t> Tasks;
    std::string UserId;
    std::string AppId;
};

// Reads a get_download_data answer; throws Json::Exception on members of the wrong type.
bool ReadTokenAnswer(const Json::Value& root, NdTokenAnswer_t& answer)
{
    if (root["code"].asInt() != 0)
        return false;
    const Json::Value& data = root["data"];
    const Json::Value& items = data["download_data"];
    const Json::Value& user = data["user_info"];
    if (!items.isNull() && !items.isArray())
        return false;
    answer.AppId = user["app_id"].asString();
    answer.UserId = user["user_id"].asString();
    for (const Json::Value& item : items) {
        if (!item.isObject())
            return false;
        DownloadTaskParam_t task;
        task.VideoFileSize = SizeMember(item["size"]);
        task.VideoDuration = item["duration"].asInt();
        task.VideoName = CleanVideoName(item["file_name"].asString());
        task.VideoM3U8Url = item["url"].asString();
        task.AppId = answer.AppId;
        task.UserId = answer.UserId;
        answer.Tasks.push_back(task);
    }
    return true;
}

bool ReadVersionAnswer(const Json::Value& root, NdSoftVersion_t& version)
{
    if (root["code"].asInt() != 0)
        return false;
    const Json::Value& data = root["data"];
    version.Version = data["version"].asString();
    version.Msg = data["msg"].asString();
    version.DownloadUrl = data["download_url"].asString();
    version.MustUpdate = data["must_update"].asInt() != 0;
    return true;
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
    const QUrl reference(FromUtf8(Trimmed(uri)), QUrl::TolerantMode);
    return ToUtf8(base.resolved(reference).toString(QUrl::FullyEncoded));
}

// ffmpeg reads the local playlist from the task folder, so the key must be named by its full address.
std::string WithAbsoluteKeyUri(const std::string& keyLine, const QUrl& base)
{
    const QRegularExpression uriAttribute(QStringLiteral("URI=\"([^\"]*)\""));
    const QString line = FromUtf8(keyLine);
    const QRegularExpressionMatch match = uriAttribute.match(line);
    if (!match.hasMatch())
        return keyLine;
    const QString absolute = FromUtf8(ResolveUri(base, ToUtf8(match.captured(1))));
    QString rewritten = line;
    rewritten.replace(match.capturedStart(1), match.capturedLength(1), absolute);
    return ToUtf8(rewritten);
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

bool IsMasterPlaylist(const std::vector<std::string>& lines)
{
    for (const std::string& line : lines) {
        if (StartsWith(line, "#EXT-X-STREAM-INF"))
            return true;
    }
    return false;
}

long long VariantBandwidth(const std::string& streamInf)
{
    const QRegularExpression bandwidth(QStringLiteral("[:,]\\s*BANDWIDTH=(\\d+)"));
    const QRegularExpressionMatch match = bandwidth.match(FromUtf8(streamInf));
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

bool WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const bool written = file.write(bytes) == bytes.size();
    return file.flush() && written;
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
            QFile::remove(m_localPath);
            QFile::remove(m_addressPath);
            Finish();
            return;
        }
        WriteFile(m_addressPath, m_finalUrl.toUtf8());
        const std::vector<std::string> lines = PlaylistLines(ReadTextFile(m_localPath));
        if (m_hops < kMaxPlaylistHops && IsMasterPlaylist(lines)) {
            const std::string variant = ChooseVariant(lines);
            if (!variant.empty()) {
                ++m_hops;
                Start(FromUtf8(ResolveUri(QUrl(m_finalUrl), variant)));
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
};

NdProcessOutcome_t RunToEnd(const QString& program, const QStringList& arguments)
{
    NdProcessOutcome_t outcome;
    QProcess process;
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
            lastOutput = process.readAll().right(400);
            silence.restart();
        } else if (silence.elapsed() > kFfmpegSilenceLimitMs) {
            process.kill();
            process.waitForFinished(kFfmpegStartTimeoutMs);
            outcome.Problem = QStringLiteral("killed after a long silence");
            return outcome;
        }
    }
    const QByteArray rest = process.readAll();
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

// ---------------------------------------------------------------------------
// Reporting

void PostReport(const QString& url, const std::string& document, bool sync)
{
    NdHttpManager request(url);
    request.Header(QStringLiteral("Content-Type"), QStringLiteral("application/json")).Json(FromUtf8(document));
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
        body["app_id"] = ToUtf8(settings.AppId);

    bool ok = false;
    NdTokenAnswer_t answer;
    NdHttpManager(settings.AdminBaseUrl(environment) + QStringLiteral("alive_b/alive_download/get_download_data"))
        .Header(QStringLiteral("Content-Type"), QStringLiteral("application/json"))
        .Success([&](const QString& text) {
            Json::Value root;
            try {
                ok = ParseJsonObject(text, root) && ReadTokenAnswer(root, answer);
            } catch (const Json::Exception&) {
                ok = false;
            }
        })
        .Fail([&](const QString&, int) { ok = false; })
        .Json(FromUtf8(StyledJson(body)))
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
        body["app_id"] = ToUtf8(settings.AppId);
    body["platform"] = 2;
    body["version"] = kSoftVersion;
    body["MAC"] = ToUtf8(GetHostMacAddress());

    NdHttpManager(settings.AdminBaseUrl(environment) + QStringLiteral("alive_b/alive_download/get_download_link/"))
        .Header(QStringLiteral("Content-Type"), QStringLiteral("application/json"))
        .Json(FromUtf8(StyledJson(body)))
        .Success([&](const QString& text) {
            if (text.isEmpty()) {
                qDebug() << "No data";
                return;
            }
            Json::Value root;
            NdSoftVersion_t offered;
            try {
                if (ParseJsonObject(text, root) && ReadVersionAnswer(root, offered))
                    version = offered;
            } catch (const Json::Exception&) {
                // An answer of the wrong shape offers no update.
            }
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
    static const QStringList reserved
        = {QString(), QStringLiteral("."), QStringLiteral(".."), QLatin1String(kEncryptedPlaylistName),
            QLatin1String(kConcatListName), QLatin1String(kMergedFileName), QLatin1String(kPlaylistAddressName)};
    if (reserved.contains(name))
        name.prepend(QStringLiteral("remote-"));
    return name;
}

QString NdDownloaderBackEndImpl::LocalPlaylistPath(const QString& folder, const QString& m3u8Url)
{
    return folder + QLatin1Char('/') + LocalPlaylistName(m3u8Url);
}

QString NdDownloaderBackEndImpl::PlaylistAddressFilePath(const QString& folder)
{
    return folder + QLatin1Char('/') + QLatin1String(kPlaylistAddressName);
}

QString NdDownloaderBackEndImpl::EncryptedPlaylistPath(const QString& siblingPath)
{
    return QFileInfo(siblingPath).path() + QLatin1Char('/') + QLatin1String(kEncryptedPlaylistName);
}

void NdDownloaderBackEndImpl::DownloadM3U8File(
    const std::string& m3u8Url, const std::string& folder, CompleteFn onComplete)
{
    const QString url = FromUtf8(m3u8Url);
    auto fetch = std::make_shared<NdPlaylistFetch>(FromUtf8(folder), url, std::move(onComplete), ProgressFn(), true);
    fetch->Start(url);
}

void NdDownloaderBackEndImpl::DownloadM3U8FileSync(
    const std::string& m3u8Url, const std::string& folder, CompleteFn onComplete, ProgressFn onProgress)
{
    const QString url = FromUtf8(m3u8Url);
    auto fetch
        = std::make_shared<NdPlaylistFetch>(FromUtf8(folder), url, std::move(onComplete), std::move(onProgress), false);
    fetch->Start(url);
}

bool NdDownloaderBackEndImpl::M3U8Parse(
    const std::string& folder, const std::string& m3u8Url, std::vector<std::string>& segments)
{
    const QString localFolder = FromUtf8(folder);
    if (folder.empty() || m3u8Url.empty() || !QFileInfo(localFolder).isDir())
        return false;
    const QString playlistPath = LocalPlaylistPath(localFolder, FromUtf8(m3u8Url));
    const std::string text = ReadTextFile(playlistPath);
    if (text.empty())
        return false;
    // Relative entries belong to the address that finally answered, which a redirect may have changed.
    std::string address = Trimmed(ReadTextFile(PlaylistAddressFilePath(localFolder)));
    if (address.empty())
        address = m3u8Url;
    M3U8StringFormat(ToUtf8(playlistPath), text, address, segments);
    return true;
}

void NdDownloaderBackEndImpl::M3U8StringFormat(const std::string& playlistPath, const std::string& text,
    const std::string& m3u8Url, std::vector<std::string>& segments)
{
    std::vector<std::string> lines = PlaylistLines(text.substr(0, text.find('\0')));
    if (lines.empty())
        return;
    if (const char* tag = UnsupportedTag(lines)) {
        ND_LOG(LogError, "Playlist %s uses %s, which is not supported: no segments taken.", playlistPath.c_str(), tag);
        return;
    }
    const QUrl base(FromUtf8(m3u8Url), QUrl::TolerantMode);
    bool encrypted = false;
    for (std::string& line : lines) {
        if (Contains(line, "EXT-X-KEY")) {
            line = WithAbsoluteKeyUri(line, base);
            encrypted = true;
        }
    }
    if (encrypted)
        SaveDrmM3U8File(playlistPath, lines);
    for (const std::string& line : lines) {
        if (!IsTagOrComment(line))
            segments.push_back(ResolveUri(base, line));
    }
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
    return WriteFile(EncryptedPlaylistPath(FromUtf8(playlistPath)), text);
}

// ---------------------------------------------------------------------------
// Segments

void NdDownloaderBackEndImpl::DownloadTsFile(const std::string& tsUrl, const std::string& filePath, SuccessFn onSuccess,
    FailFn onFail, ProgressFn onProgress, QNetworkAccessManager* manager)
{
    NdHttpManager(FromUtf8(tsUrl))
        .ReuseManager(manager)
        .DownloadProgress(std::move(onProgress))
        .Success(std::move(onSuccess))
        .Fail(std::move(onFail))
        .DownloadSync(FromUtf8(filePath));
}

// ---------------------------------------------------------------------------
// Assembly

bool NdDownloaderBackEndImpl::CreateFileList(const std::string& folder)
{
    const QDir dir(FromUtf8(folder));
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
    WriteFile(dir.filePath(QLatin1String(kConcatListName)), list);
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
    const QString list = FromUtf8(listFile);
    const QString output = FromUtf8(outputFile);
    QString localPlaylist = EncryptedPlaylistPath(list);
    if (!QFileInfo::exists(localPlaylist))
        localPlaylist.clear();

    const QString program = FfmpegPath();
    if (program.isEmpty()) {
        ND_LOG(LogError, "ffmpeg was found neither beside the program nor on the PATH.");
        return false;
    }
    // A file left by an earlier attempt must not pass for this run's result.
    QFile::remove(output);
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
    return QFileInfo::exists(output);
}

bool NdDownloaderBackEndImpl::MoveVideo(const std::string& source, const std::string& destination)
{
    const QString from = FromUtf8(source);
    QString to = FromUtf8(destination);
    if (QFileInfo::exists(to)) {
        const QFileInfo target(to);
        const QString first = target.fileName().section(QLatin1Char('.'), 0, 0);
        const QString last = target.fileName().section(QLatin1Char('.'), -1);
        for (int i = 1;; ++i) {
            to = target.absolutePath() + QLatin1Char('/') + first + QStringLiteral("(%1).").arg(i) + last;
            if (!QFileInfo::exists(to))
                break;
        }
    }
    if (!QFile::rename(from, to))
        return false;
    return QDir(QFileInfo(from).absolutePath()).removeRecursively();
}

// ---------------------------------------------------------------------------
// Deletion

void NdDownloaderBackEndImpl::DeleteTask(const DownloadTaskParam_t& task, bool deleteLocalFile)
{
    if (!task.VideoTempPath.empty()) {
        const QFileInfo folder(FromUtf8(task.VideoTempPath));
        if (folder.isDir())
            QDir(folder.filePath()).removeRecursively();
        else if (folder.exists())
            QFile::remove(folder.filePath());
    }
    if (deleteLocalFile) {
        const QString video = FromUtf8(task.VideoDownloadPath + "/" + task.VideoName + ".mp4");
        if (QFileInfo(video).isFile())
            QFile::remove(video);
    }
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
    common["alive_id"] = ToUtf8(GetHostMacAddress());
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
