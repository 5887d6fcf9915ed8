#include "NdUiTestKit.h"

#include "NdLanguageHelper.h"
#include "NdTestEnv.h"
#include "NdWidget.h"

#include "NdCore/NdDeploySettings.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslCertificate>
#include <QTimer>

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

NdModalAnswerer::NdModalAnswerer(const char* className, std::function<void(QDialog*)> answer)
    : m_className(className), m_answer(std::move(answer))
{
    auto* poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, &NdModalAnswerer::Poll);
    poll->start(20);
}

void NdModalAnswerer::Poll()
{
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (!dialog || dialog == m_lastAnswered || !dialog->inherits(m_className.constData()))
        return;
    m_lastAnswered = dialog;
    ++m_count;
    m_answer(dialog);
}

void NdClickChild(QWidget* parent, const char* objectName, const QString& text)
{
    for (QAbstractButton* button : parent->findChildren<QAbstractButton*>(QLatin1String(objectName))) {
        if (text.isEmpty() || button->text() == text) {
            button->click();
            return;
        }
    }
}
