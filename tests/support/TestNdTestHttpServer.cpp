#include "NdTestEnv.h"
#include "NdTestHttpServer.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

// The loopback server is what every network test stands on: these checks make
// sure its answers and faults are what the tests believe they are.
class TestNdTestHttpServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { NdTestInitEnvironment(); }
    void routesLogAndKeepAlive();
    void tlsTrustFollowsTheCa();
    void fileBodyInSlowChunks();
    void dropClosesMidBody();
    void linkShapingDelaysAndCounts();

private:
    struct Result
    {
        QNetworkReply::NetworkError error = QNetworkReply::NoError;
        int status = 0;
        QByteArray body;
    };
    Result Fetch(QNetworkAccessManager& manager, const QNetworkRequest& request);
};

TestNdTestHttpServer::Result TestNdTestHttpServer::Fetch(QNetworkAccessManager& manager, const QNetworkRequest& request)
{
    QNetworkReply* reply = manager.get(request);
    QEventLoop loop;
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    Result result;
    result.error = reply->isFinished() ? reply->error() : QNetworkReply::TimeoutError;
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.body = reply->readAll();
    reply->abort();
    delete reply;
    return result;
}

void TestNdTestHttpServer::routesLogAndKeepAlive()
{
    NdTestHttpServer server;
    QVERIFY(server.Start());
    server.Route("/hello", [](const NdTestRequest& request) { return NdTestResponse::Text("hi " + request.query); });
    QNetworkAccessManager manager;
    const Result first = Fetch(manager, QNetworkRequest(QUrl(server.BaseUrl() + "/hello?x=1")));
    const Result second = Fetch(manager, QNetworkRequest(QUrl(server.BaseUrl() + "/missing")));
    QCOMPARE(first.body, QByteArray("hi x=1"));
    QCOMPARE(second.status, 404);
    const QList<NdTestRequest> requests = server.Requests();
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests[0].path, QByteArray("/hello"));
    QCOMPARE(requests[0].query, QByteArray("x=1"));
    QCOMPARE(requests[0].connectionId, requests[1].connectionId);
    QCOMPARE(server.CountRequests("/missing"), 1);
    server.ClearRequests();
    QCOMPARE(server.Requests().size(), 0);
}

void TestNdTestHttpServer::tlsTrustFollowsTheCa()
{
    QVERIFY(NdTestCa::Instance().Ok);
    NdTestHttpServer trusted(NdTestHttpServer::Tls);
    NdTestHttpServer untrusted(NdTestHttpServer::TlsUntrusted);
    QVERIFY(trusted.Start());
    QVERIFY(untrusted.Start());
    QVERIFY(trusted.BaseUrl().startsWith("https://127.0.0.1:"));
    trusted.SetFallback([](const NdTestRequest&) { return NdTestResponse::Text("secure"); });
    untrusted.SetFallback([](const NdTestRequest&) { return NdTestResponse::Text("secure"); });

    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setCaCertificates(QSslCertificate::fromPath(NdTestCa::Instance().CaCertPath));
    QNetworkAccessManager manager;
    QNetworkRequest good(QUrl(trusted.BaseUrl() + "/x"));
    good.setSslConfiguration(config);
    QNetworkRequest bad(QUrl(untrusted.BaseUrl() + "/x"));
    bad.setSslConfiguration(config);
    QCOMPARE(Fetch(manager, good).body, QByteArray("secure"));
    QCOMPARE(Fetch(manager, bad).error, QNetworkReply::SslHandshakeFailedError);
}

void TestNdTestHttpServer::fileBodyInSlowChunks()
{
    QTemporaryDir dir;
    QByteArray content;
    for (int i = 0; i < 5000; ++i)
        content += QByteArray::number(i) + ',';
    QFile file(dir.filePath("body.bin"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();

    NdTestHttpServer server;
    QVERIFY(server.Start());
    server.Route("/file", [&](const NdTestRequest&) {
        NdTestResponse response;
        response.filePath = file.fileName();
        response.chunkSize = content.size() / 4 + 1;
        response.chunkDelayMs = 50;
        return response;
    });
    QNetworkAccessManager manager;
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(Fetch(manager, QNetworkRequest(QUrl(server.BaseUrl() + "/file"))).body, content);
    QVERIFY(timer.elapsed() >= 150);
}

void TestNdTestHttpServer::dropClosesMidBody()
{
    NdTestHttpServer server;
    QVERIFY(server.Start());
    server.Route("/drop", [](const NdTestRequest&) {
        NdTestResponse response = NdTestResponse::Text(QByteArray(1000, 'x'));
        response.dropAfterBytes = 100;
        return response;
    });
    QNetworkAccessManager manager;
    const Result result = Fetch(manager, QNetworkRequest(QUrl(server.BaseUrl() + "/drop")));
    QCOMPARE(result.error, QNetworkReply::RemoteHostClosedError);
    server.Stop();
    QCOMPARE(server.Port(), quint16(0));
}

void TestNdTestHttpServer::linkShapingDelaysAndCounts()
{
    NdTestHttpServer server(NdTestHttpServer::Tls);
    QVERIFY(server.Start());
    const QByteArray body(40 * 1000, 'b');
    server.Route("/body", [&](const NdTestRequest&) { return NdTestResponse::Text(body); });
    NdTestLinkShape shape;
    shape.firstByteDelayMs = 150;
    shape.connectionDelayMs = 250;
    shape.bytesPerSecond = 100 * 1000;
    server.SetLinkShape(shape);

    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setCaCertificates(QSslCertificate::fromPath(NdTestCa::Instance().CaCertPath));
    QNetworkRequest request(QUrl(server.BaseUrl() + "/body"));
    request.setSslConfiguration(config);
    QNetworkAccessManager manager;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(Fetch(manager, request).body, body);
    // The new connection, the first byte, then 40 kB at 100 kB/s: lower bounds only.
    const qint64 first = clock.elapsed();
    QVERIFY2(first >= 250 + 150 + 350, qPrintable(QString::number(first)));
    clock.restart();
    QCOMPARE(Fetch(manager, request).body, body);
    const qint64 second = clock.elapsed();
    QVERIFY2(second >= 150 + 350, qPrintable(QString::number(second)));

    QCOMPARE(server.LinkCounters().connections, 1);
    QCOMPARE(server.LinkCounters().handshakes, 1);
    const QList<NdTestRequest> requests = server.Requests();
    QCOMPARE(requests.size(), 2);
    QVERIFY(requests[0].encrypted && requests[1].encrypted);
    QCOMPARE(requests[0].connectionId, requests[1].connectionId);
    server.ResetLinkCounters();
    QCOMPARE(server.LinkCounters().connections, 0);
}

QTEST_GUILESS_MAIN(TestNdTestHttpServer)
#include "TestNdTestHttpServer.moc"
