#pragma once

#include "NdSampleFaults.h"
#include "NdSampleTransient.h"
#include "NdTestHttpServer.h"

#include <QByteArray>
#include <QJsonArray>
#include <QMutex>
#include <QString>

class NdSampleLessons;

// The platform's server side on 127.0.0.1 over HTTPS: the two admin queries,
// the reporting endpoint, the lessons with their fault switches, and the
// control and inspection paths ("/_...") that tests use. The lesson files are
// also served over plain http on a second port, where the "httpkey" and
// "downgrade" switches send the program.
class NdSamplePlatform
{
public:
    explicit NdSamplePlatform(const NdSampleLessons& lessons);

    bool Start(quint16 port, QString* error);
    QString BaseUrl() const;
    // Link shaping for benchmarks; also settable over POST /_control/link.

    // The answer of get_download_link until a test sets another.
    static QByteArray DefaultVersionDocument(const QString& baseUrl);

private:
    void InstallRoutes();
    NdTestResponse OnDownloadData(const NdTestRequest& request) const;
    NdTestResponse OnDownloadLink(const NdTestRequest& request) const;
    NdTestResponse OnErrorReport(const NdTestRequest& request);
    NdTestResponse OnReports(const NdTestRequest& request) const;
    NdTestResponse OnRequests(const NdTestRequest& request) const;
    NdTestResponse OnReset(const NdTestRequest& request);
    NdTestResponse OnSetVersion(const NdTestRequest& request);
    NdTestResponse OnSetFaults(const NdTestRequest& request);
    NdTestResponse OnInstaller(const NdTestRequest& request) const;
    NdTestResponse OnLessonFile(const NdTestRequest& request) const;
    NdTestResponse ServePlaylist(
        const NdTestRequest& request, const NdSampleLessonPath_t& path, const QString& root) const;
    NdTestResponse ServeMedia(const NdSampleLessonPath_t& path, const QString& root) const;
    NdTestResponse AnswerForToken(const QString& token) const;
    QString LessonFilePath(const NdSampleLessonPath_t& path) const;

    const NdSampleLessons& Lessons;
    NdTestHttpServer Server;
    NdTestHttpServer PlainServer;
    mutable NdSampleTransient Transient; // locks itself
    mutable QMutex Lock;                 // guards the two members below (handlers run on the server thread)
    QJsonArray Reports;
    QByteArray VersionDocument;
};
