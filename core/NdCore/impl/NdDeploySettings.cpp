#include "NdCore/NdDeploySettings.h"

#include "NdCore/NdCommHelper.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>

#include <json/json.h>

#include <climits>

namespace {
// Settings and certificates are small; a bigger file is cut here rather than read whole.
const qint64 kMaxFileBytes = 1 << 20;

QMutex g_settingsLock;
NdDeploySettings* g_pSettings = nullptr; // guarded by g_settingsLock

using NdValueCheck = bool (*)(const QString&);

bool AnyText(const QString&)
{
    return true;
}

// What ping takes as its destination and nothing else: a host name of letters, digits, "-" and
// "_" in dot-separated labels that neither begin nor end with "-", or an IP address. A value
// beginning with "-" would be read as one of ping's options.
bool IsHostName(const QString& host)
{
    // A label: up to 63 characters, "-" only inside.
    static const QString label = QStringLiteral("[A-Za-z0-9_]([A-Za-z0-9_-]{0,61}[A-Za-z0-9_])?");
    static const QRegularExpression name(QStringLiteral("^(?=.{1,254}$)%1(\\.%1)*\\.?$").arg(label));
    return !host.startsWith(QLatin1Char('-')) && (name.match(host).hasMatch() || !QHostAddress(host).isNull());
}

// A member that is there but cannot be used keeps its default and is named in `refused`.
void ReadString(
    const Json::Value& root, const char* key, QString& value, QStringList& refused, NdValueCheck usable = AnyText)
{
    if (!root.isMember(key))
        return;
    const Json::Value& member = root[key];
    const QString text = member.isString() ? NdCommHelper::FromUtf8(member.asString()) : QString();
    if (member.isString() && usable(text))
        value = text;
    else
        refused << QLatin1String(key);
}

void ReadAdminBaseUrls(const Json::Value& root, QString (&urls)[3], QStringList& refused)
{
    const char key[] = "AdminBaseUrls";
    if (!root.isMember(key))
        return;
    const Json::Value& list = root[key];
    bool usable = list.isArray();
    for (Json::ArrayIndex env = 0; list.isArray() && env < 3 && list.isValidIndex(env); ++env) {
        if (list[env].isString())
            urls[env] = NdCommHelper::FromUtf8(list[env].asString());
        else
            usable = false;
    }
    if (!usable)
        refused << QLatin1String(key);
}

// A positive number of seconds, kept in milliseconds within what a timer
// takes: a huge value must not wrap round to none at all.
void ReadSeconds(const Json::Value& root, const char* key, int& ms, QStringList& refused)
{
    if (!root.isMember(key))
        return;
    const Json::Value& seconds = root[key];
    if (!seconds.isNumeric() || !(seconds.asDouble() > 0)) {
        refused << QLatin1String(key);
        return;
    }
    ms = static_cast<int>(qBound(1.0, seconds.asDouble() * 1000.0, double(INT_MAX)));
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
        const QString path = base.absoluteFilePath(NdCommHelper::FromUtf8(entry.asString()));
        certificates += ReadCertificateFile(path);
    }
    return certificates;
}

NdDeploySettings FromJson(const Json::Value& root, const QDir& base, QStringList& refused)
{
    NdDeploySettings settings;
    ReadAdminBaseUrls(root, settings.AdminBaseUrls, refused);
    ReadString(root, "ReportBaseUrl", settings.ReportBaseUrl, refused);
    ReadString(root, "FallbackReportBaseUrl", settings.FallbackReportBaseUrl, refused);
    ReadString(root, "AppId", settings.AppId, refused);
    ReadString(root, "RefererBaseUrl", settings.RefererBaseUrl, refused);
    ReadString(root, "TutorialUrl", settings.TutorialUrl, refused);
    ReadString(root, "ManagementUrl", settings.ManagementUrl, refused);
    ReadString(root, "WebsiteUrl", settings.WebsiteUrl, refused);
    ReadString(root, "HelpCenterUrl", settings.HelpCenterUrl, refused);
    ReadString(root, "ProbeHost", settings.ProbeHost, refused, IsHostName);
    ReadSeconds(root, "TransferTimeoutSeconds", settings.TransferTimeoutMs, refused);
    ReadSeconds(root, "RetryDelaySeconds", settings.RetryDelayMs, refused);
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
    QStringList refused;
    *settings = FromJson(root, QFileInfo(path).absoluteDir(), refused);
    if (error) {
        *error = refused.isEmpty()
            ? QString()
            : QStringLiteral("%1: kept the defaults of %2").arg(path, refused.join(QStringLiteral(", ")));
    }
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
    , RetryDelayMs(1000)
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
