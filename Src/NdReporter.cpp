#include "NdReporter.h"

#include "INdDownloaderBackEnd.h"
#include "NdServerAnswer.h"
#include "NdVersion.h"

#include "NdCore/NdCacheManager.h"
#include "NdCore/NdCommHelper.h"
#include "NdCore/NdDeploySettings.h"
#include "NdCore/NdHttpManager.h"

#include <QCoreApplication>
#include <QMutexLocker>
#include <QNetworkInterface>
#include <QThread>

#include <json/json.h>

namespace {

void PostReport(const QString& url, const std::string& document, bool sync)
{
    NdHttpManager request(url);
    request.MaxBytes(NdServerAnswer::kMaxAnswerBytes)
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

void NdReporter::CacheIds(const std::string& userId, const std::string& appId)
{
    QMutexLocker locker(&IdLock);
    CachedUserId = userId;
    CachedAppId = appId;
}

void NdReporter::CachedIds(std::string& userId, std::string& appId) const
{
    QMutexLocker locker(&IdLock);
    userId = CachedUserId;
    appId = CachedAppId;
}

QString NdReporter::GetHostMacAddress()
{
    const auto wanted = QNetworkInterface::IsUp | QNetworkInterface::IsRunning;
    for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
        const QNetworkInterface::InterfaceFlags flags = interface.flags();
        if ((flags & wanted) == wanted && !(flags & QNetworkInterface::IsLoopBack))
            return interface.hardwareAddress();
    }
    return QString();
}

std::string NdReporter::BuildReportDocument(const DownloadTaskParam_t& task, int type, const std::string& message) const
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
    return root.toStyledString();
}

void NdReporter::Send(const DownloadTaskParam_t& task, int type, const std::string& message, bool async) const
{
    const int environment = NdCacheManager::GetInstance()->GetBackEndEnvironment();
    const QString url = NdDeploySettings::Get().ReportBase(environment) + QStringLiteral("error_report");
    const std::string document = BuildReportDocument(task, type, message);
    if (async)
        PostReportAsync(url, document);
    else
        PostReport(url, document, true);
}

void NdReportClick(const char* event)
{
    NdDownloaderInterface::INdDownloaderBackEnd::GetInstance()->ReportInfo(
        DownloadTaskParam_t(), ClickReport, event, true);
}
