#include "NdSampleLink.h"

#include "NdSamplePlatformPaths.h"
#include "NdTestHttpServer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

namespace {
NdTestResponse JsonAnswer(const QJsonObject& object)
{
    return NdTestResponse::Text(
        QJsonDocument(object).toJson(QJsonDocument::Indented), 200, "application/json; charset=utf-8");
}

bool IsLessonPath(const QByteArray& path)
{
    return path.startsWith(NdSamplePlatformPaths::LessonsRoot().toUtf8())
        || path.startsWith(NdSamplePlatformPaths::MovedRoot().toUtf8());
}

NdTestResponse OnLink(const NdTestHttpServer& server)
{
    QSet<int> lessonConnections;
    QSet<int> lessonHandshakes;
    QSet<int> otherConnections;
    int lessonRequests = 0;
    for (const NdTestRequest& request : server.Requests()) {
        if (request.Path.startsWith("/_"))
            continue;
        if (!IsLessonPath(request.Path)) {
            otherConnections.insert(request.ConnectionId);
            continue;
        }
        ++lessonRequests;
        lessonConnections.insert(request.ConnectionId);
        if (request.Encrypted)
            lessonHandshakes.insert(request.ConnectionId);
    }
    const NdTestLinkCounters counters = server.LinkCounters();
    return JsonAnswer(QJsonObject{{"shape", server.LinkShape().ToJson()}, {"acceptedConnections", counters.Connections},
        {"handshakes", counters.Handshakes}, {"lessonRequests", lessonRequests},
        {"lessonConnections", lessonConnections.size()}, {"lessonHandshakes", lessonHandshakes.size()},
        {"otherConnections", otherConnections.size()}});
}

NdTestResponse OnSetLink(NdTestHttpServer* server, const NdTestRequest& request)
{
    if (request.Method != "POST")
        return NdTestResponse::Text("method not allowed\n", 405);
    const NdTestLinkShape shape = NdTestLinkShape::FromJson(QJsonDocument::fromJson(request.Body).object());
    if (shape.FirstByteDelayMs < 0 || shape.ConnectionDelayMs < 0 || shape.BytesPerSecond < 0)
        return NdTestResponse::Text("negative link values\n", 400);
    server->SetLinkShape(shape);
    server->ResetLinkCounters();
    return JsonAnswer(shape.ToJson());
}
} // namespace

void NdSampleLink::InstallRoutes(NdTestHttpServer* server)
{
    server->Route(NdSamplePlatformPaths::LinkPath(), [server](const NdTestRequest&) { return OnLink(*server); });
    server->Route(NdSamplePlatformPaths::LinkControlPath(),
        [server](const NdTestRequest& request) { return OnSetLink(server, request); });
}
