#include "NdCore/NdDeploySettings.h"

#include "NdCore/NdCommHelper.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>

#include <json/json.h>

#include <climits>

namespace {
// Settings and certificates are small; a bigger file is cut here rather than read whole.
const qint64 kMaxFileBytes = 1 << 20;

QMutex g_settingsLock;
NdDeploySettings* g_pSettings = nullptr; // guarded by g_settingsLock

QString StringMember(const Json::Value& root, const char* key, const QString& fallback)
{
    const Json::Value& value = root[key];
    return value.isString() ? QString::fromStdString(value.asString()) : fallback;
}

// Only the named file, and only a regular one: QSslCertificate::fromPath searches the
// named file's folder and every folder below it, so an entry such as "/ca.pem" made the
// first use of the settings walk the whole working folder, and a FIFO would block it.
QList<QSslCertificate> ReadCertificateFile(const QString& path)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return {};
    return QSslCertificate::fromData(file.read(kMaxFileBytes), QSsl::Pem);
}

QList<QSslCertificate> ReadCertificates(const Json::Value& list, const QDir& base)
{
    QList<QSslCertificate> certificates;
    if (!list.isArray())
        return certificates;
    for (const Json::Value& entry : list) {
        if (!entry.isString())
            continue;
        const QString path = base.absoluteFilePath(QString::fromStdString(entry.asString()));
        certificates += ReadCertificateFile(path);
    }
    return certificates;
}

NdDeploySettings FromJson(const Json::Value& root, const QDir& base)
{
    NdDeploySettings settings;
    const Json::Value& admins = root["AdminBaseUrls"];
    for (int env = 0; env < 3; ++env) {
        if (admins.isArray() && admins.isValidIndex(env) && admins[env].isString())
            settings.AdminBaseUrls[env] = QString::fromStdString(admins[env].asString());
    }
    settings.ReportBaseUrl = StringMember(root, "ReportBaseUrl", settings.ReportBaseUrl);
    settings.FallbackReportBaseUrl = StringMember(root, "FallbackReportBaseUrl", settings.FallbackReportBaseUrl);
    settings.AppId = StringMember(root, "AppId", settings.AppId);
    settings.RefererBaseUrl = StringMember(root, "RefererBaseUrl", settings.RefererBaseUrl);
    settings.TutorialUrl = StringMember(root, "TutorialUrl", settings.TutorialUrl);
    settings.ManagementUrl = StringMember(root, "ManagementUrl", settings.ManagementUrl);
    settings.WebsiteUrl = StringMember(root, "WebsiteUrl", settings.WebsiteUrl);
    settings.HelpCenterUrl = StringMember(root, "HelpCenterUrl", settings.HelpCenterUrl);
    settings.ProbeHost = StringMember(root, "ProbeHost", settings.ProbeHost);
    const Json::Value& timeout = root["TransferTimeoutSeconds"];
    if (timeout.isNumeric() && timeout.asDouble() > 0) {
        // Kept within what a timer takes: a huge value must not wrap round to none at all.
        settings.TransferTimeoutMs = static_cast<int>(qBound(1.0, timeout.asDouble() * 1000.0, double(INT_MAX)));
    }
    settings.TrustedCertificates = ReadCertificates(root["TrustedCertificates"], base);
    return settings;
}

bool ReadSettingsFile(const QString& path, NdDeploySettings* settings, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    const QByteArray text = file.read(kMaxFileBytes);
    Json::Value root;
    if (!NdCommHelper::ParseJson(text, root) || !root.isObject()) {
        if (error)
            *error = QStringLiteral("%1 is not a JSON object").arg(path);
        return false;
    }
    *settings = FromJson(root, QFileInfo(path).absoluteDir());
    return true;
}
} // namespace

NdDeploySettings::NdDeploySettings()
    : AdminBaseUrls{QStringLiteral("https://admin.nddownloader.invalid/"),
        QStringLiteral("https://admin-internal.nddownloader.invalid/"),
        QStringLiteral("https://admin-test.nddownloader.invalid/")}
    , ReportBaseUrl(QStringLiteral("https://report.nddownloader.invalid/"))
    , FallbackReportBaseUrl(QStringLiteral("https://report-fallback.nddownloader.invalid:1224/"))
    , AppId(QStringLiteral("ndapp0000000000"))
    , RefererBaseUrl(QStringLiteral("https://admin.nddownloader.invalid"))
    , TutorialUrl(QStringLiteral("https://www.nddownloader.invalid/tutorial"))
    , ManagementUrl(QStringLiteral("https://admin.nddownloader.invalid/"))
    , WebsiteUrl(QStringLiteral("https://www.nddownloader.invalid/"))
    , HelpCenterUrl(QStringLiteral("https://help.nddownloader.invalid/"))
    , ProbeHost(QStringLiteral("admin.nddownloader.invalid"))
    , TransferTimeoutMs(30000)
{ }

QString NdDeploySettings::AdminBaseUrl(int environment) const
{
    return (environment == 1 || environment == 2) ? AdminBaseUrls[environment] : AdminBaseUrls[0];
}

QString NdDeploySettings::ReportBase(int environment) const
{
    return (environment == 1 || environment == 2) ? FallbackReportBaseUrl : ReportBaseUrl;
}

QString NdDeploySettings::DefaultFilePath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../Resources/NdDeploy.json");
}

NdDeploySettings NdDeploySettings::Get()
{
    // The first use reads the file under the lock: threads starting at once read it only
    // once, and none of them can put it back over values set in the meantime.
    QMutexLocker locker(&g_settingsLock);
    if (!g_pSettings) {
        NdDeploySettings settings;
        ReadSettingsFile(DefaultFilePath(), &settings, nullptr);
        g_pSettings = new NdDeploySettings(settings);
    }
    return *g_pSettings;
}

bool NdDeploySettings::LoadFile(const QString& path, QString* error)
{
    NdDeploySettings settings;
    if (!ReadSettingsFile(path, &settings, error))
        return false;
    Set(settings);
    return true;
}

void NdDeploySettings::Set(const NdDeploySettings& settings)
{
    QMutexLocker locker(&g_settingsLock);
    if (g_pSettings)
        *g_pSettings = settings;
    else
        g_pSettings = new NdDeploySettings(settings);
}
