#include "NdServerQuery.h"

#include "NdReporter.h"
#include "NdVersion.h"

#include "NdCore/NdCacheManager.h"
#include "NdCore/NdCommHelper.h"
#include "NdCore/NdDeploySettings.h"
#include "NdCore/NdHttpManager.h"

#include <QDebug>

#include <json/json.h>

namespace {

// The internal and test servers serve several applications and need to know which one asks.
bool EnvironmentWantsAppId(int environment)
{
    return environment == InternalTest || environment == Test;
}

// Posts body to the admin server of the current environment and returns once
// one of the two callbacks has run.
void PostToAdmin(const char* path, Json::Value body, NdHttpManager::SuccessFn onSuccess, NdHttpManager::FailFn onFail)
{
    const int environment = NdCacheManager::GetInstance()->GetBackEndEnvironment();
    const NdDeploySettings settings = NdDeploySettings::Get();
    if (EnvironmentWantsAppId(environment))
        body["app_id"] = NdCommHelper::ToUtf8(settings.AppId);
    NdHttpManager(settings.AdminBaseUrl(environment) + QLatin1String(path))
        .MaxBytes(NdServerAnswer::kMaxAnswerBytes)
        .Header(QStringLiteral("Content-Type"), QStringLiteral("application/json"))
        .Success(std::move(onSuccess))
        .Fail(std::move(onFail))
        .Json(NdCommHelper::FromUtf8(body.toStyledString()))
        .PostSync();
}

} // namespace

bool NdServerQuery::AskTasksByToken(const std::string& token, NdTokenAnswer_t& answer)
{
    Json::Value body(Json::objectValue);
    body["token"] = token;
    bool ok = false;
    PostToAdmin(
        "alive_b/alive_download/get_download_data", body,
        [&](const QString& text) { ok = NdServerAnswer::ReadTokenAnswer(text, answer); },
        [&](const QString&, int) { ok = false; });
    return ok;
}

void NdServerQuery::AskSoftVersion(NdSoftVersion_t& version)
{
    Json::Value body(Json::objectValue);
    body["platform"] = 2;
    body["version"] = ND_VERSION;
    body["MAC"] = NdCommHelper::ToUtf8(NdReporter::GetHostMacAddress());
    PostToAdmin(
        "alive_b/alive_download/get_download_link/", body,
        [&](const QString& text) {
            if (text.isEmpty()) {
                qDebug() << "No data";
                return;
            }
            NdServerAnswer::ReadVersionAnswer(text, version);
        },
        [](const QString& error, int code) {
            qDebug().noquote() << QStringLiteral("Bad request: %1, Code: %2").arg(error).arg(code);
        });
}
