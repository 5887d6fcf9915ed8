#include "NdSamplePlatform.h"

#include "NdSampleLessons.h"
#include "NdSampleLink.h"
#include "NdSamplePlatformPaths.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutexLocker>
#include <QUrl>

#include <cmath>

namespace {
const char* const kAppId = "ndsample_app_01";
const char* const kUserId = "u_sample_0042";
const qint64 kInstallerBytes = 256 * 1024;

NdTestResponse JsonResponse(const QJsonDocument& document, int status = 200)
{
    return NdTestResponse::Text(document.toJson(QJsonDocument::Indented), status, "application/json; charset=utf-8");
}

NdTestResponse JsonResponse(const QJsonObject& object, int status = 200)
{
    return JsonResponse(QJsonDocument(object), status);
}

NdTestResponse FailureAnswer(const QString& message)
{
    return JsonResponse(QJsonObject{{"code", 1}, {"msg", message}});
}

NdTestResponse NotFound()
{
    return NdTestResponse::Text("not found\n", 404);
}

NdTestResponse MethodNotAllowed()
{
    return NdTestResponse::Text("method not allowed\n", 405);
}

QJsonObject UserInfo()
{
    return QJsonObject{{"app_id", kAppId}, {"user_id", kUserId}};
}

QJsonObject SuccessAnswer(const QJsonArray& items)
{
    return QJsonObject{
        {"code", 0}, {"msg", "ok"}, {"data", QJsonObject{{"download_data", items}, {"user_info", UserInfo()}}}};
}

QJsonValue SizeValue(const NdSampleLesson_t& lesson)
{
    const double mib = static_cast<double>(lesson.MediaBytes) / (1024.0 * 1024.0);
    if (lesson.SizeAsText)
        return QString::number(mib, 'f', 3);
    return std::round(mib * 1000.0) / 1000.0;
}

// Members of the types a reader does not expect: objects for the texts, a
// text for the duration.
NdTestResponse WrongShapeAnswer(const QString& url)
{
    const QJsonObject item{{"url", url}, {"file_name", QJsonObject{{"text", "wrong shape"}}},
        {"size", QJsonObject{{"mb", 1}}}, {"duration", "four"}};
    return JsonResponse(SuccessAnswer(QJsonArray{item}));
}

NdTestResponse NotJsonAnswer()
{
    return NdTestResponse::Text("<!DOCTYPE html>\n<html><head><title>502 Bad Gateway</title></head>"
                                "<body><h1>502 Bad Gateway</h1></body></html>\n",
        200, "text/html; charset=utf-8");
}

QByteArray ContentType(const QString& file)
{
    if (file.endsWith(QLatin1String(".ts")))
        return "video/mp2t";
    if (file.endsWith(QLatin1String(".m4s")) || file.endsWith(QLatin1String(".mp4")))
        return "video/mp4";
    return "application/octet-stream";
}

QJsonObject RequestEntry(const NdTestRequest& request)
{
    QJsonObject headers;
    for (auto it = request.Headers.cbegin(); it != request.Headers.cend(); ++it)
        headers.insert(QString::fromLatin1(it.key()), QString::fromUtf8(it.value()));
    return QJsonObject{{"method", QString::fromLatin1(request.Method)}, {"path", QString::fromUtf8(request.Path)},
        {"query", QString::fromUtf8(request.Query)}, {"body", QString::fromUtf8(request.Body)}, {"headers", headers},
        {"connection", request.ConnectionId}};
}

bool IsControlPath(const QByteArray& path)
{
    return path.startsWith("/_");
}
} // namespace

NdSamplePlatform::NdSamplePlatform(const NdSampleLessons& lessons)
    : Lessons(lessons), Server(NdTestHttpServer::Tls), PlainServer(NdTestHttpServer::Plain)
{
    InstallRoutes();
}

bool NdSamplePlatform::Start(quint16 port, QString* error)
{
    if (!NdTestCa::Instance().Ok) {
        *error = QStringLiteral("cannot make the test certificates (is openssl installed?)");
        return false;
    }
    if (!Server.Start(port) || !PlainServer.Start()) {
        *error = QStringLiteral("cannot listen on 127.0.0.1:%1").arg(port);
        return false;
    }
    QMutexLocker locker(&Lock);
    VersionDocument = DefaultVersionDocument(BaseUrl());
    return true;
}

QString NdSamplePlatform::BaseUrl() const
{
    return Server.BaseUrl();
}

QByteArray NdSamplePlatform::DefaultVersionDocument(const QString& baseUrl)
{
    const QJsonObject data{{"version", "1.0.4"}, {"msg", QStringLiteral("当前已是最新版本")},
        {"download_url", baseUrl + QLatin1String(NdSamplePlatformPaths::InstallerPath())}, {"must_update", 0}};
    return QJsonDocument(QJsonObject{{"code", 0}, {"msg", "ok"}, {"data", data}}).toJson(QJsonDocument::Indented);
}

void NdSamplePlatform::InstallRoutes()
{
    using namespace NdSamplePlatformPaths;
    Server.Route(DownloadDataPath(), [this](const NdTestRequest& r) { return OnDownloadData(r); });
    Server.Route(DownloadLinkPath(), [this](const NdTestRequest& r) { return OnDownloadLink(r); });
    Server.Route(ErrorReportPath(), [this](const NdTestRequest& r) { return OnErrorReport(r); });
    Server.Route(ReportsPath(), [this](const NdTestRequest& r) { return OnReports(r); });
    Server.Route(RequestsPath(), [this](const NdTestRequest& r) { return OnRequests(r); });
    Server.Route(ResetPath(), [this](const NdTestRequest& r) { return OnReset(r); });
    Server.Route(VersionPath(), [this](const NdTestRequest& r) { return OnSetVersion(r); });
    Server.Route(FaultsPath(), [this](const NdTestRequest& r) { return OnSetFaults(r); });
    Server.Route(InstallerPath(), [this](const NdTestRequest& r) { return OnInstaller(r); });
    NdSampleLink::InstallRoutes(&Server);
    Server.SetFallback([this](const NdTestRequest& r) { return OnLessonFile(r); });
    PlainServer.SetFallback([this](const NdTestRequest& r) { return OnLessonFile(r); });
}

NdTestResponse NdSamplePlatform::OnDownloadData(const NdTestRequest& request) const
{
    if (request.Method != "POST")
        return MethodNotAllowed();
    const QJsonDocument body = QJsonDocument::fromJson(request.Body);
    const QJsonValue token = body.object().value(QStringLiteral("token"));
    if (!token.isString())
        return FailureAnswer(QStringLiteral("missing token"));
    return AnswerForToken(token.toString());
}

NdTestResponse NdSamplePlatform::AnswerForToken(const QString& token) const
{
    const QString plainUrl = BaseUrl() + NdSamplePlatformPaths::LessonPlaylistPath(QStringLiteral("plain"));
    if (token == QLatin1String("wrong-shape"))
        return WrongShapeAnswer(plainUrl);
    if (token == QLatin1String("not-json"))
        return NotJsonAnswer();
    if (token == QLatin1String("empty"))
        return JsonResponse(QJsonObject{{"code", 0}, {"data", QJsonObject()}});
    // The demo's token: two plain lessons and an encrypted one.
    const QString lessons = token == QLatin1String("demo") ? QStringLiteral("plain,plain2,aes") : token;
    QJsonArray items;
    for (const QString& rawEntry : lessons.split(QLatin1Char(','))) {
        // "plain#<title>": the lesson under another title, percent-encoded.
        const QString entry = rawEntry.section(QLatin1Char('#'), 0, 0).trimmed();
        const bool retitled = rawEntry.contains(QLatin1Char('#'));
        NdSampleLessonPath_t path;
        QString error;
        if (entry.isEmpty() || !NdSampleFaults::ParseLessonPath(entry, Lessons, false, &path, &error))
            return FailureAnswer(error.isEmpty() ? QStringLiteral("empty lesson in token") : error);
        const NdSampleLesson_t& lesson = *Lessons.Find(path.Lesson);
        items += QJsonObject{{"url", BaseUrl() + NdSamplePlatformPaths::LessonPlaylistPath(path.LessonPath())},
            {"file_name", retitled ? QUrl::fromPercentEncoding(rawEntry.section('#', 1).toUtf8()) : lesson.Title},
            {"size", SizeValue(lesson)}, {"duration", lesson.Seconds}};
    }
    return JsonResponse(SuccessAnswer(items));
}

NdTestResponse NdSamplePlatform::OnDownloadLink(const NdTestRequest& request) const
{
    if (request.Method != "POST")
        return MethodNotAllowed();
    QMutexLocker locker(&Lock);
    return NdTestResponse::Text(VersionDocument, 200, "application/json; charset=utf-8");
}

NdTestResponse NdSamplePlatform::OnSetVersion(const NdTestRequest& request)
{
    if (request.Method != "POST")
        return MethodNotAllowed();
    QMutexLocker locker(&Lock);
    VersionDocument = request.Body;
    return JsonResponse(QJsonObject{{"code", 0}});
}

NdTestResponse NdSamplePlatform::OnSetFaults(const NdTestRequest& request)
{
    if (request.Method != "POST")
        return MethodNotAllowed();
    QString error;
    if (!Transient.Set(QJsonDocument::fromJson(request.Body).object(), &error))
        return JsonResponse(QJsonObject{{"code", 1}, {"msg", error}}, 400);
    return JsonResponse(QJsonObject{{"code", 0}});
}

NdTestResponse NdSamplePlatform::OnErrorReport(const NdTestRequest& request)
{
    if (request.Method != "POST")
        return MethodNotAllowed();
    const QJsonDocument document = QJsonDocument::fromJson(request.Body);
    QMutexLocker locker(&Lock);
    // A body that is no JSON object is kept as its text, so a test sees it.
    if (document.isObject())
        Reports.append(document.object());
    else
        Reports.append(QString::fromUtf8(request.Body));
    return JsonResponse(QJsonObject{{"code", 0}, {"msg", "ok"}});
}

NdTestResponse NdSamplePlatform::OnReports(const NdTestRequest&) const
{
    QMutexLocker locker(&Lock);
    return JsonResponse(QJsonDocument(Reports));
}

NdTestResponse NdSamplePlatform::OnRequests(const NdTestRequest&) const
{
    QJsonArray log;
    for (const NdTestRequest& request : Server.Requests() + PlainServer.Requests()) {
        if (!IsControlPath(request.Path))
            log.append(RequestEntry(request));
    }
    return JsonResponse(QJsonDocument(log));
}

NdTestResponse NdSamplePlatform::OnReset(const NdTestRequest& request)
{
    if (request.Method != "POST")
        return MethodNotAllowed();
    Server.ClearRequests();
    PlainServer.ClearRequests();
    Transient.Clear();
    QMutexLocker locker(&Lock);
    Reports = QJsonArray();
    VersionDocument = DefaultVersionDocument(BaseUrl());
    return JsonResponse(QJsonObject{{"code", 0}});
}

NdTestResponse NdSamplePlatform::OnInstaller(const NdTestRequest&) const
{
    QByteArray image;
    image.reserve(kInstallerBytes);
    for (qint64 i = 0; i < kInstallerBytes; ++i)
        image.append(static_cast<char>(i * 7 % 251));
    return NdTestResponse::Text(image, 200, "application/x-apple-diskimage");
}

NdTestResponse NdSamplePlatform::OnLessonFile(const NdTestRequest& request) const
{
    const QString fullPath = QUrl::fromPercentEncoding(request.Path);
    QString root;
    for (const QString& candidate : {NdSamplePlatformPaths::LessonsRoot(), NdSamplePlatformPaths::MovedRoot()}) {
        if (fullPath.startsWith(candidate))
            root = candidate;
    }
    NdSampleLessonPath_t path;
    QString error;
    if (root.isEmpty() || !NdSampleFaults::ParseLessonPath(fullPath.mid(root.size()), Lessons, true, &path, &error))
        return NotFound();
    NdTestResponse response;
    if (NdSampleFaults::IsPlaylist(path.File))
        response = ServePlaylist(request, path, root);
    else if (path.Has("redirect")) // behind a redirect only the playlist answers: its files live in the new folder
        response = NotFound();
    else
        response = ServeMedia(path, root);
    Transient.Apply(request.Path, &response);
    return response;
}

QString NdSamplePlatform::LessonFilePath(const NdSampleLessonPath_t& path) const
{
    return Lessons.LessonDir(path.Lesson) + QLatin1Char('/') + path.File;
}

NdTestResponse NdSamplePlatform::ServePlaylist(
    const NdTestRequest& request, const NdSampleLessonPath_t& path, const QString& root) const
{
    if (path.Has("redirect")) {
        NdSampleLessonPath_t moved = path;
        moved.Switches.removeOne(QStringLiteral("redirect"));
        QString location
            = BaseUrl() + NdSamplePlatformPaths::MovedRoot() + moved.LessonPath() + QLatin1Char('/') + path.File;
        if (!request.Query.isEmpty())
            location += QLatin1Char('?') + QString::fromUtf8(request.Query);
        return NdTestResponse::Redirect(location.toUtf8());
    }
    if (path.Has("loop"))
        return NdTestResponse::Redirect(
            request.Target.startsWith('/') ? BaseUrl().toUtf8() + request.Target : request.Target);
    if (const int status = NdSampleFaults::FaultStatus(path, "playlist"))
        return NdTestResponse::Text("playlist refused\n", status);
    if (path.Has("badplaylist"))
        return NotJsonAnswer();
    QFile file(LessonFilePath(path));
    if (!file.open(QIODevice::ReadOnly))
        return NotFound();
    const QString folder = path.File.left(path.File.lastIndexOf(QLatin1Char('/')) + 1);
    const QString below = root + path.LessonPath() + QLatin1Char('/') + folder;
    const NdSampleFaults::NdPlaylistFolders_t folders{
        BaseUrl() + below, PlainServer.BaseUrl() + below, Lessons.LessonDir(path.Lesson) + '/' + folder};
    return NdTestResponse::Text(
        NdSampleFaults::RewritePlaylist(file.readAll(), path, folders), 200, "application/vnd.apple.mpegurl");
}

NdTestResponse NdSamplePlatform::ServeMedia(const NdSampleLessonPath_t& path, const QString& root) const
{
    const QFileInfo info(LessonFilePath(path));
    if (!info.isFile())
        return NotFound();
    if (path.Has("downgrade") && NdSampleFaults::IsFaultySegment(path, path.File)) {
        NdSampleLessonPath_t plain = path;
        plain.Switches.removeOne(QStringLiteral("downgrade"));
        return NdTestResponse::Redirect(
            (PlainServer.BaseUrl() + root + plain.LessonPath() + QLatin1Char('/') + path.File).toUtf8());
    }
    NdTestResponse response;
    response.FilePath = info.absoluteFilePath();
    response.Headers += qMakePair(QByteArray("Content-Type"), ContentType(path.File));
    if (NdSampleFaults::IsKey(path.File))
        NdSampleFaults::ShapeKeyResponse(path, &response);
    else
        NdSampleFaults::ShapeMediaResponse(path, info.size(), &response);
    return response;
}
