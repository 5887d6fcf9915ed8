#include "NdUiTestKit.h"

#include "NdLanguageHelper.h"
#include "NdTestEnv.h"
#include "NdWidget.h"

#include "NdCore/NdDeploySettings.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSslCertificate>

void NdUiTestInit()
{
    NdTestInitEnvironment();
    NdLanguageHelper::GetInstance()->Init("zh-CN");
    NdApplyApplicationFont();
}

bool NdReportCatcher::Start()
{
    if (!NdTestCa::Instance().Ok)
        return false;
    m_server.Route("/error_report", [](const NdTestRequest&) { return NdTestResponse::Text("{}"); });
    if (!m_server.Start())
        return false;
    NdDeploySettings settings = NdDeploySettings::Get();
    settings.ReportBaseUrl = m_server.BaseUrl() + QLatin1Char('/');
    settings.FallbackReportBaseUrl = settings.ReportBaseUrl;
    settings.TrustedCertificates = QSslCertificate::fromPath(NdTestCa::Instance().CaCertPath);
    NdDeploySettings::Set(settings);
    return true;
}

QStringList NdReportCatcher::Params() const
{
    QStringList params;
    for (const NdTestRequest& request : m_server.Requests()) {
        if (request.path != "/error_report")
            continue;
        const QJsonObject report = QJsonDocument::fromJson(request.body).object();
        params << report.value(QStringLiteral("api_data")).toObject().value(QStringLiteral("api_params")).toString();
    }
    return params;
}

int NdReportCatcher::Count(const QString& params) const
{
    return Params().count(params);
}

int NdReportCatcher::CountEndingWith(const QString& end) const
{
    int count = 0;
    for (const QString& params : Params())
        count += params.endsWith(end) ? 1 : 0;
    return count;
}
