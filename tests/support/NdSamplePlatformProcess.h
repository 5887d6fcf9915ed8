#pragma once

#include "NdTestHttpServer.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Runs the sample platform (bin/NdSamplePlatform) as a child process on a free
// port for one test, and talks to its inspection and control paths. Its own
// requests go through a plain QNetworkAccessManager trusting the platform's CA,
// not through the program's HTTP client, so they stay valid while that client
// is under test. The process ends with this object.
class NdSamplePlatformProcess
{
public:
    struct Reply_t
    {
        int Status = 0; // HTTP status; 0 when no answer arrived
        QByteArray Body;
        QMap<QByteArray, QByteArray> Headers; // names in lower case
        QString Error;                        // empty when the transfer completed
    };

    NdSamplePlatformProcess();
    ~NdSamplePlatformProcess();
    NdSamplePlatformProcess(const NdSamplePlatformProcess&) = delete;
    NdSamplePlatformProcess& operator=(const NdSamplePlatformProcess&) = delete;

    // Starts the platform and waits for its listening line (the first start
    // also generates the lessons into the build tree's cache). False with
    // ErrorString() on failure. extraArguments go to the platform's command line.
    bool Start(int timeoutMs = 60000, const QStringList& extraArguments = QStringList());
    QString ErrorString() const { return Error; }

    QString BaseUrl() const { return ListenUrl; } // "https://127.0.0.1:<port>"
    // "slow/plain" -> BaseUrl() + "/lessons/slow/plain/index.m3u8"
    QString LessonUrl(const QString& lessonPath) const;
    QString CaCertPath() const { return CaFile; }
    // The NdDeploy.json the platform wrote for this run.
    QString DeployFilePath() const;

    // Puts the platform's deployment values in force in this process: admin
    // and report addresses at the platform, its CA trusted, the given transfer
    // time-out and first wait before a failed request is tried again.
    bool ApplyDeploySettings(int transferTimeoutMs = 30000, int retryDelayMs = 1000) const;

    QJsonArray Reports() const;        // the report documents received, oldest first
    QJsonArray Requests() const;       // {"method","path","query","body","headers","connection"} per request
    QStringList TokensQueried() const; // the tokens asked of get_download_data, oldest first
    bool Reset() const;                // clears reports, request log and the version document
    bool SetVersion(const QByteArray& json) const;    // what get_download_link answers
    bool SetFaults(const QJsonObject& faults) const;  // faults that come and go, until Reset (see NdSampleTransient)
    bool SetLink(const NdTestLinkShape& shape) const; // shapes the link and zeroes its counters
    QJsonObject Link() const;                         // the shape and the counters (see NdSampleLink)

    // Direct access for checks of the platform itself; pathOrUrl is either a
    // full URL or a path below BaseUrl(). Redirects are not followed.
    Reply_t Get(const QString& pathOrUrl, int timeoutMs = 10000) const;
    Reply_t Post(const QString& pathOrUrl, const QByteArray& body, int timeoutMs = 10000) const;
    // POSTs {"token": token} to get_download_data.
    Reply_t QueryToken(const QString& token) const;

private:
    Reply_t Send(const QByteArray& method, const QString& pathOrUrl, const QByteArray& body, int timeoutMs) const;
    bool ReadListeningLine(int timeoutMs);
    bool ReadDeployFile();
    void Stop();

    QTemporaryDir WorkDir;
    QProcess Process;
    QString ListenUrl;
    QString CaFile;
    QString Error;
};
