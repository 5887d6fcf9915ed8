#pragma once

#include "NdCore/NdCoreExport.h"

#include <QList>
#include <QSslCertificate>
#include <QString>
#include <QStringList>

// The platform's deployment values: server addresses, the application id, web
// pages, the probe host, the transfer time-out and extra trusted certificates.
// They live in one JSON file, "NdDeploy.json", shipped in the bundle's
// Resources folder (beside "locale"), and are read once on first use. The
// defaults are placeholders on the reserved ".invalid" domain: they reach nothing.
class NDCORE_EXPORT NdDeploySettings
{
public:
    QString AdminBaseUrls[3];      // per environment 0, 1, 2, each "https://host/"
    QString ReportBaseUrl;         // "https://host/"
    QString FallbackReportBaseUrl; // "https://ip:1224/"
    QString AppId;                 // fixed 15-character application id
    QString RefererBaseUrl;        // admin address; requests send it + "/NdDownloader"
    QString TutorialUrl;
    QString ManagementUrl;
    QString WebsiteUrl;
    QString HelpCenterUrl;
    QString ProbeHost;
    int TransferTimeoutMs;
    int RetryDelayMs; // the first wait before a failed request is tried again; the next ones double
    QList<QSslCertificate> TrustedCertificates;

    NdDeploySettings(); // the placeholder defaults

    // Admin base address of an environment; unknown codes use production's.
    QString AdminBaseUrl(int environment) const;
    // Reporting base address: the fallback for environments 1 and 2.
    QString ReportBase(int environment) const;

    // A copy of the values in force; the file is read on the first call.
    static NdDeploySettings Get();
    // Default location: applicationDirPath() + "/../Resources/NdDeploy.json".
    static QString DefaultFilePath();
    // Reads a settings file and puts it in force. Members missing from the file
    // keep their defaults, and so do members of the wrong type or with a value
    // that cannot be used (a probe host that is no host name): *error then names
    // them, else it is empty. Relative certificate paths are taken relative to
    // the file; certificates that cannot be read are left out. Returns false
    // (and changes nothing) when the file cannot be read or is not a JSON object.
    static bool LoadFile(const QString& path, QString* error = nullptr);
    // Puts the given values in force (tests, local platforms).
    static void Set(const NdDeploySettings& settings);
};
