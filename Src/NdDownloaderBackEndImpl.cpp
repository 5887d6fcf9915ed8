#include "NdDownloaderBackEndImpl.h"

#include "NdConverter.h"
#include "NdPlaylistFetch.h"
#include "NdRetryPolicy.h"
#include "NdServerAnswer.h"
#include "NdTaskFolder.h"
#include "NdVersion.h"

#include "NdCore/NdCacheManager.h"
#include "NdCore/NdCommHelper.h"
#include "NdCore/NdDeploySettings.h"
#include "NdCore/NdHttpManager.h"
#include "NdCore/NdLogManager.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QMetaEnum>
#include <QMutexLocker>
#include <QNetworkInterface>
#include <QNetworkReply>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <json/json.h>

#include <cerrno>
#include <cstdio>
#include <memory>

using NdDownloaderInterface::INdDownloaderBackEnd;

namespace {

// Caps on what the outside sends: a server's answer, one segment.
const qint64 kMaxAnswerBytes = 4 << 20;
const qint64 kMaxSegmentBytes = qint64(1) << 30;

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
    body["version"] = ND_VERSION;
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
    return NdConverter::WriteConcatList(NdCommHelper::FromUtf8(folder));
}

bool NdDownloaderBackEndImpl::TranscodingVideo(const std::string& listFile, const std::string& outputFile)
{
    if (listFile.empty() || outputFile.empty())
        return false;
    return NdConverter::Merge(NdCommHelper::FromUtf8(listFile), NdCommHelper::FromUtf8(outputFile));
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
    common["build_version"] = ND_VERSION;
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
