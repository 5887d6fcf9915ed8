#include "NdSamplePlatformProcess.h"

#include "NdSamplePlatformPaths.h"

#include "NdCore/NdDeploySettings.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTimer>
#include <QUrl>

namespace {
const char* const kListeningPrefix = "NdSamplePlatform listening on ";
const int kStartTimeoutMs = 10000;
const int kStopTimeoutMs = 5000;

QJsonArray ArrayFrom(const NdSamplePlatformProcess::Reply_t& reply)
{
    return reply.Status == 200 ? QJsonDocument::fromJson(reply.Body).array() : QJsonArray();
}

// Errors below the content range are transport failures (refused, closed,
// timed out, TLS); HTTP error statuses are reported through Status instead.
bool IsTransportError(QNetworkReply::NetworkError error)
{
    return error != QNetworkReply::NoError && error < QNetworkReply::ContentAccessDenied;
}
} // namespace

NdSamplePlatformProcess::NdSamplePlatformProcess() = default;

NdSamplePlatformProcess::~NdSamplePlatformProcess()
{
    Stop();
}

bool NdSamplePlatformProcess::Start(int timeoutMs, const QStringList& extraArguments)
{
    if (!WorkDir.isValid()) {
        Error = QStringLiteral("cannot create a temporary folder");
        return false;
    }
    Process.setProgram(QCoreApplication::applicationDirPath() + QStringLiteral("/NdSamplePlatform"));
    Process.setArguments(
        QStringList{"--port", "0", "--write-deploy", DeployFilePath(), "--exit-on-stdin-close"} + extraArguments);
    Process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    Process.start();
    if (!Process.waitForStarted(kStartTimeoutMs)) {
        Error = QStringLiteral("cannot start %1: %2").arg(Process.program(), Process.errorString());
        return false;
    }
    if (!ReadListeningLine(timeoutMs) || !ReadDeployFile()) {
        Stop();
        return false;
    }
    return true;
}

bool NdSamplePlatformProcess::ReadListeningLine(int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!Process.canReadLine()) {
        const qint64 left = timeoutMs - clock.elapsed();
        if (Process.state() != QProcess::Running || left <= 0) {
            Error = Process.state() == QProcess::Running
                ? QStringLiteral("the platform did not report its port in time")
                : QStringLiteral("the platform ended early (exit code %1)").arg(Process.exitCode());
            return false;
        }
        Process.waitForReadyRead(static_cast<int>(qMin<qint64>(left, 1000)));
    }
    const QString line = QString::fromUtf8(Process.readLine()).trimmed();
    if (!line.startsWith(QLatin1String(kListeningPrefix))) {
        Error = QStringLiteral("unexpected first line: %1").arg(line);
        return false;
    }
    ListenUrl = line.mid(static_cast<int>(qstrlen(kListeningPrefix)));
    return true;
}

bool NdSamplePlatformProcess::ReadDeployFile()
{
    QFile file(DeployFilePath());
    if (!file.open(QIODevice::ReadOnly)) {
        Error = QStringLiteral("the platform wrote no deployment file");
        return false;
    }
    const QJsonArray certificates
        = QJsonDocument::fromJson(file.readAll()).object().value("TrustedCertificates").toArray();
    CaFile = certificates.isEmpty() ? QString() : certificates.first().toString();
    if (!QFileInfo(CaFile).isFile()) {
        Error = QStringLiteral("the platform named no readable CA certificate");
        return false;
    }
    return true;
}

void NdSamplePlatformProcess::Stop()
{
    if (Process.state() == QProcess::NotRunning)
        return;
    // Closing stdin lets the platform quit on its own and remove its
    // certificate folder; killing is the fallback.
    Process.closeWriteChannel();
    if (!Process.waitForFinished(kStopTimeoutMs)) {
        Process.kill();
        Process.waitForFinished(kStopTimeoutMs);
    }
}

QString NdSamplePlatformProcess::LessonUrl(const QString& lessonPath) const
{
    return ListenUrl + NdSamplePlatformPaths::LessonPlaylistPath(lessonPath);
}

QString NdSamplePlatformProcess::DeployFilePath() const
{
    return WorkDir.filePath(QStringLiteral("NdDeploy.json"));
}

bool NdSamplePlatformProcess::ApplyDeploySettings(int transferTimeoutMs, int retryDelayMs) const
{
    if (!NdDeploySettings::LoadFile(DeployFilePath()))
        return false;
    NdDeploySettings settings = NdDeploySettings::Get();
    settings.TransferTimeoutMs = transferTimeoutMs;
    settings.RetryDelayMs = retryDelayMs;
    NdDeploySettings::Set(settings);
    return true;
}

QJsonArray NdSamplePlatformProcess::Reports() const
{
    return ArrayFrom(Get(QString::fromLatin1(NdSamplePlatformPaths::ReportsPath())));
}

QJsonArray NdSamplePlatformProcess::Requests() const
{
    return ArrayFrom(Get(QString::fromLatin1(NdSamplePlatformPaths::RequestsPath())));
}

QStringList NdSamplePlatformProcess::TokensQueried() const
{
    QStringList tokens;
    for (const QJsonValue& value : Requests()) {
        const QJsonObject request = value.toObject();
        if (request.value("path").toString() == QLatin1String(NdSamplePlatformPaths::DownloadDataPath())) {
            const QByteArray body = request.value("body").toString().toUtf8();
            tokens << QJsonDocument::fromJson(body).object().value("token").toString();
        }
    }
    return tokens;
}

bool NdSamplePlatformProcess::Reset() const
{
    return Post(QString::fromLatin1(NdSamplePlatformPaths::ResetPath()), QByteArray()).Status == 200;
}

bool NdSamplePlatformProcess::SetFaults(const QJsonObject& faults) const
{
    return Post(QString::fromLatin1(NdSamplePlatformPaths::FaultsPath()), QJsonDocument(faults).toJson()).Status == 200;
}

bool NdSamplePlatformProcess::SetVersion(const QByteArray& json) const
{
    return Post(QString::fromLatin1(NdSamplePlatformPaths::VersionPath()), json).Status == 200;
}

bool NdSamplePlatformProcess::SetLink(const NdTestLinkShape& shape) const
{
    const QByteArray body = QJsonDocument(shape.ToJson()).toJson();
    return Post(QString::fromLatin1(NdSamplePlatformPaths::LinkControlPath()), body).Status == 200;
}

QJsonObject NdSamplePlatformProcess::Link() const
{
    const Reply_t reply = Get(QString::fromLatin1(NdSamplePlatformPaths::LinkPath()));
    return reply.Status == 200 ? QJsonDocument::fromJson(reply.Body).object() : QJsonObject();
}

NdSamplePlatformProcess::Reply_t NdSamplePlatformProcess::Get(const QString& pathOrUrl, int timeoutMs) const
{
    return Send("GET", pathOrUrl, QByteArray(), timeoutMs);
}

NdSamplePlatformProcess::Reply_t NdSamplePlatformProcess::Post(
    const QString& pathOrUrl, const QByteArray& body, int timeoutMs) const
{
    return Send("POST", pathOrUrl, body, timeoutMs);
}

NdSamplePlatformProcess::Reply_t NdSamplePlatformProcess::QueryToken(const QString& token) const
{
    const QByteArray body = QJsonDocument(QJsonObject{{"token", token}}).toJson();
    return Post(QString::fromLatin1(NdSamplePlatformPaths::DownloadDataPath()), body);
}

NdSamplePlatformProcess::Reply_t NdSamplePlatformProcess::Send(
    const QByteArray& method, const QString& pathOrUrl, const QByteArray& body, int timeoutMs) const
{
    const bool isUrl
        = pathOrUrl.startsWith(QLatin1String("https://")) || pathOrUrl.startsWith(QLatin1String("http://"));
    QNetworkRequest request(QUrl(isUrl ? pathOrUrl : ListenUrl + pathOrUrl));
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    ssl.setCaCertificates(QSslCertificate::fromPath(CaFile));
    request.setSslConfiguration(ssl);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    if (method == "POST")
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));

    QNetworkAccessManager manager;
    QNetworkReply* reply = manager.sendCustomRequest(request, method, body);
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(timeoutMs);
    loop.exec();

    Reply_t result;
    if (!reply->isFinished()) {
        reply->abort();
        result.Error = QStringLiteral("timed out");
    } else if (IsTransportError(reply->error())) {
        result.Error = reply->errorString();
    }
    result.Status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.Body = reply->readAll();
    for (const QNetworkReply::RawHeaderPair& header : reply->rawHeaderPairs())
        result.Headers.insert(header.first.toLower(), header.second);
    delete reply;
    return result;
}
