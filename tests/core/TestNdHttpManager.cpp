#include "NdCore/NdDeploySettings.h"
#include "NdCore/NdHttpManager.h"
#include "NdCore/NdLogManager.h"
#include "NdCore/NdStopScope.h"
#include "NdCore/impl/NdHttpManagerImpl.h"
#include "NdTestEnv.h"
#include "NdTestHttpServer.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

const int kTransferTimeoutMs = 1500;
const int kWaitMs = 8000;
const int kSlowChunks = 20;
const int kSlowDelayMs = 20;

// What the callbacks of one request did, in order.
struct Outcome
{
    QStringList Events;
    QString Text;
    int Code = 0;
    QPair<long long, long long> Progress;

    void End(const char* event, const QString& endText, int endCode = 0)
    {
        Events << event;
        Text = endText;
        Code = endCode;
    }
};

NdHttpManager& Observe(NdHttpManager& http, Outcome* o)
{
    return http.Success([o](const QString& text) { o->End("success", text); })
        .Fail([o](const QString& text, int code) { o->End("fail", text, code); })
        .Complete([o] { o->Events << "complete"; })
        .FinalUrl([o](const QString& url) { o->Events << "final" << url; })
        .DownloadProgress([o](long long got, long long all) {
            o->Progress = {got, all};
        });
}

// The events of a request that reached url in the end.
QStringList Ended(const QString& url, bool succeeded = true)
{
    return {"final", url, succeeded ? "success" : "fail", "complete"};
}

int EntryCount(const char* folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size();
}

NdTestResponse Echo(const NdTestRequest& request)
{
    return NdTestResponse::Text(request.Body);
}

// An answer of bytes in chunks of chunkBytes, one every delayMs.
NdTestHandler Paced(int bytes, int chunkBytes, int delayMs)
{
    return [=](const NdTestRequest&) {
        NdTestResponse response = NdTestResponse::Text(QByteArray(bytes, 'p'));
        response.ChunkSize = chunkBytes;
        response.ChunkDelayMs = delayMs;
        return response;
    };
}

} // namespace

class TestNdHttpManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void requestShape_data();
    void requestShape();
    void replyTextAndHttpError();
    void downloadsAreWholeBeforeSuccess();
    void slowDiskBoundsTheBuffer();
    void builderGoneEndsDownloads();
    void transferRules_data();
    void transferRules();
    void limits_data();
    void limits();
    void tlsSessionsResumeFromWorkerThreads();

private:
    QTemporaryDir Dir;
    NdTestHttpServer Plain;
    NdTestHttpServer TlsServer{NdTestHttpServer::Tls};
    NdTestHttpServer Untrusted{NdTestHttpServer::TlsUntrusted};
    QByteArray FileBody;
    QNetworkAccessManager KeptManager; // one manager through every row, as a segment worker keeps it
};

void TestNdHttpManager::initTestCase()
{
    NdTestInitEnvironment();
    QVERIFY(Dir.isValid() && NdTestCa::Instance().Ok);
    NdDeploySettings settings;
    settings.TrustedCertificates = QSslCertificate::fromPath(NdTestCa::Instance().CaCertPath);
    settings.TransferTimeoutMs = kTransferTimeoutMs;
    settings.RefererBaseUrl = "https://admin.example.test";
    NdDeploySettings::Set(settings);
    NdLogManager::Install();
    FileBody = QByteArray(3 * 1024 * 1024 + 16, '\0');
    QRandomGenerator(42).fillRange(reinterpret_cast<quint32*>(FileBody.data()), FileBody.size() / 4);
    QVERIFY(NdWriteFile(Dir.filePath("one.txt"), "content of one"));
    QVERIFY(NdWriteFile(Dir.filePath("two.txt"), "content of two"));

    QVERIFY(Plain.Start() && TlsServer.Start() && Untrusted.Start());
    for (NdTestHttpServer* server : {&Plain, &TlsServer, &Untrusted})
        server->Route("/echo", Echo);
    Plain.Route("/file", [this](const NdTestRequest&) { return NdTestResponse::Text(FileBody); });
    Plain.Route("/other", [](const NdTestRequest&) { return NdTestResponse::Text("second file"); });
    Plain.Route("/gbk", [](const NdTestRequest&) { return NdTestResponse::Text("\xd6\xd0\r\n\xce\xc4\n"); });
    Plain.Route("/big", [](const NdTestRequest&) { return NdTestResponse::Text(QByteArray(16 << 20, 'b')); });
    Plain.Route("/slow", Paced(kSlowChunks * 1000, 1000, kSlowDelayMs));
    // Under and over 16 KiB in each time-out window.
    Plain.Route("/trickle", Paced(20000, 500, 250));
    Plain.Route("/steady", Paced(120000, 8000, 200));
    Plain.Route("/hop0", Echo); // "/hop<n>" answers after n redirects
    for (int hop = 1; hop <= 6; ++hop) {
        const QByteArray next = "/hop" + QByteArray::number(hop - 1);
        Plain.Route(
            "/hop" + QByteArray::number(hop), [next](const NdTestRequest&) { return NdTestResponse::Redirect(next); });
    }
    const QByteArray plainEcho = Plain.BaseUrl().toUtf8() + "/echo";
    TlsServer.Route("/to-plain", [plainEcho](const NdTestRequest&) { return NdTestResponse::Redirect(plainEcho); });
}

void TestNdHttpManager::requestShape_data()
{
    QTest::addColumn<int>("fire");           // how requestShape fires it
    QTest::addColumn<QByteArray>("request"); // method and target
    QTest::addColumn<QStringList>("body");   // what the body holds; none: empty
    QTest::addColumn<QByteArray>("contentType");
    const QByteArray form = "application/x-www-form-urlencoded";
    const QByteArray json = "application/json; charset=utf-8";
    const QByteArray caller = "text/caller"; // kept where the request sets none
    const QByteArray query = "a=1&b=x%20y&c=p%2Bq";
    const QByteArray post = "POST /echo?z=0";
    const QString param = "name=\"c\"\r\n\r\np+q\r\n";
    const QString one = "; filename=\"one.txt\"\r\n\r\ncontent of one\r\n";
    const QString two = "name=\"files\"; filename=\"two.txt\"\r\n\r\ncontent of two\r\n";
    QTest::newRow("get onto a query") << 0 << "GET /echo?z=0&" + query << QStringList() << caller;
    QTest::newRow("post json") << 1 << post << QStringList{"{\"k\":\"v\"}"} << json;
    QTest::newRow("post form") << 2 << post << QStringList{query} << form;
    QTest::newRow("put json") << 3 << QByteArray("PUT /echo?z=0") << QStringList{"{\"k\":\"v\"}"} << json;
    QTest::newRow("delete") << 4 << QByteArray("DELETE /echo?z=0") << QStringList() << form;
    QTest::newRow("upload bytes") << 5 << post
                                  << QStringList{param, "name=\"file\"; filename=\"no-name\"\r\n\r\nraw bytes\r\n"}
                                  << caller;
    QTest::newRow("upload a file") << 6 << post << QStringList{param, "name=\"file\"" + one} << caller;
    QTest::newRow("upload files, no empty one")
        << 7 << post << QStringList{param, "name=\"files\"" + one, two} << caller;
}

void TestNdHttpManager::requestShape()
{
    QFETCH(int, fire);
    QFETCH(QByteArray, request);
    QFETCH(QStringList, body);
    QFETCH(QByteArray, contentType);
    Plain.ClearRequests();
    Outcome outcome;
    NdHttpManager http(Plain.BaseUrl() + "/echo?z=0");
    Observe(http, &outcome)
        .Param("a", 1)
        .Params({{"b", "x y"}, {"c", "p+q"}})
        .Header("Content-Type", "text/caller")
        .Header("user-agent", "Spoofed")
        .Headers({{"REFERER", "https://elsewhere.example.test"}});
    if (fire == 1 || fire == 3)
        http.Json("{\"k\":\"v\"}");
    const QString one = Dir.filePath("one.txt");
    const std::function<void()> fires[]
        = {[&] { http.GetAsync(); }, [&] { http.PostSync(); }, [&] { http.PostAsync(); }, [&] { http.PutSync(); },
            [&] { http.RemoveAsync(); }, [&] { http.Upload(QByteArray("raw bytes")); }, [&] { http.Upload(one); },
            [&] {
                http.MutiUpload({one, QString(), Dir.filePath("two.txt")});
            }};
    fires[fire]();
    const QString target = QString::fromUtf8(request.mid(request.indexOf(' ') + 1));
    QTRY_COMPARE_WITH_TIMEOUT(outcome.Events, Ended(QUrl(Plain.BaseUrl() + target).toString()), kWaitMs);

    QCOMPARE(Plain.Requests().size(), 1);
    const NdTestRequest sent = Plain.Requests().first();
    QCOMPARE(sent.Method + ' ' + sent.Target, request);
    QCOMPARE(sent.Body.isEmpty(), body.isEmpty());
    for (const QString& part : body)
        QVERIFY2(sent.Body.contains(part.toUtf8()), qPrintable(part));
    QCOMPARE(sent.Headers.value("content-type"), contentType);
    QCOMPARE(sent.Headers.value("user-agent"), QByteArray("NdDownloader"));
    QCOMPARE(sent.Headers.value("referer"), QByteArray("https://admin.example.test/NdDownloader"));
    QCOMPARE(outcome.Text, QString::fromUtf8(sent.Body).remove("\r\n")); // the reply's lines, joined
}

void TestNdHttpManager::replyTextAndHttpError()
{
    QString text;
    NdHttpManager(Plain.BaseUrl() + "/gbk").Charset("GBK").Success([&text](const QString& t) { text = t; }).GetSync();
    QCOMPARE(text, QString::fromUtf8("\xe4\xb8\xad\xe6\x96\x87"));

    // An HTTP error fails, then completes; the request carries what it needs: its builder may go at once.
    Outcome outcome;
    Observe(*std::make_unique<NdHttpManager>(Plain.BaseUrl() + "/missing"), &outcome)
        .Param("unused", 1)
        .Json("{\"k\":1}")
        .PutAsync();
    QTRY_COMPARE_WITH_TIMEOUT(outcome.Events, Ended(Plain.BaseUrl() + "/missing", false), kWaitMs);
    QCOMPARE(outcome.Code, int(QNetworkReply::ContentNotFoundError));
}

void TestNdHttpManager::downloadsAreWholeBeforeSuccess()
{
    // Each download has a file of its own, whole on disk when its success runs, also when one
    // builder starts several at once.
    QMap<QString, QByteArray> seenBySuccess;
    const auto start = [&seenBySuccess, this](NdHttpManager& http, const QString& name) {
        const QString path = Dir.filePath(name);
        http.Success([&seenBySuccess, path](const QString&) { seenBySuccess[path] = NdReadFile(path); }).Download(path);
    };
    NdHttpManager http(Plain.BaseUrl() + "/file");
    NdHttpManager other(Plain.BaseUrl() + "/other");
    start(http, "first.bin");
    start(other, "second.bin");
    start(http, "third.bin");
    QTRY_COMPARE_WITH_TIMEOUT(seenBySuccess.size(), 3, kWaitMs);
    QVERIFY(seenBySuccess.value(Dir.filePath("first.bin")) == FileBody);
    QVERIFY(seenBySuccess.value(Dir.filePath("third.bin")) == FileBody);
    QCOMPARE(seenBySuccess.value(Dir.filePath("second.bin")), QByteArray("second file"));
}

void TestNdHttpManager::slowDiskBoundsTheBuffer()
{
    // A disk slower than the network must not make the body pile up in memory: the network
    // waits while the buffer is full.
    NdHttpManagerImpl state(Plain.BaseUrl() + "/big");
    int largest = 0;
    qint64 received = 0;
    const auto slowWrite = [&](const QByteArray& chunk) {
        QThread::msleep(received == 0 ? 300 : 0);
        largest = qMax(largest, chunk.size());
        received += chunk.size();
        return true;
    };
    NdHttpManagerImpl::Download(&state, slowWrite, true);
    QCOMPARE(received, qint64(16 << 20));
    QVERIFY2(largest <= 2 << 20, qPrintable(QString::number(largest)));
}

void TestNdHttpManager::builderGoneEndsDownloads()
{
    // Gone before the first byte, and gone midway: neither download may call back later, when
    // its owner may be gone too. Left running, both would have ended before the wait below.
    Outcome early;
    Outcome midway;
    QElapsedTimer sinceStart;
    sinceStart.start();
    Observe(*std::make_unique<NdHttpManager>(Plain.BaseUrl() + "/file"), &early).Download(Dir.filePath("a.bin"));
    {
        NdHttpManager second(Plain.BaseUrl() + "/slow");
        Observe(second, &midway).Download(Dir.filePath("midway.bin"));
        QTRY_VERIFY_WITH_TIMEOUT(midway.Progress.first > 0, kWaitMs);
    }
    NdHttpManager(Plain.BaseUrl() + "/file").DownloadSync(Dir.filePath("later.bin"));
    QTest::qWait(qMax<qint64>(100, 2 * kSlowChunks * kSlowDelayMs - sinceStart.elapsed()));
    QCOMPARE(early.Events + midway.Events, QStringList());
}

void TestNdHttpManager::transferRules_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<int>("manager");   // 0: the builder's own, 1: the kept one, 2: one handed over
    QTest::addColumn<QString>("path");  // empty: a GET, else a download into it
    QTest::addColumn<int>("code");      // 0: success
    QTest::addColumn<QString>("text");  // how the outcome's text starts
    QTest::addColumn<QString>("lands"); // where it ends; empty: url
    const QString plain = Plain.BaseUrl();
    const QString tls = TlsServer.BaseUrl();
    const QString file = Dir.filePath("rules.bin");
    const QString done = "Download complete.";
    const QString none;
    QVERIFY(NdWriteFile(Dir.filePath("local.txt"), "line\nend\n"));
    const QString local = QUrl::fromLocalFile(Dir.filePath("local.txt")).toString();
    QTest::newRow("kept download") << plain + "/file" << 1 << file << 0 << done << none;
    QTest::newRow("handed-over manager") << plain + "/echo" << 2 << none << 0 << none << none;
    // Only http and https: a local file is never read into an answer or a download.
    QTest::newRow("local file") << local << 0 << none << int(QNetworkReply::ProtocolUnknownError) << "Protocol refused"
                                << none;
    QTest::newRow("five redirects") << plain + "/hop5" << 0 << none << 0 << none << plain + "/hop0";
    QTest::newRow("six redirects") << plain + "/hop6" << 0 << none << int(QNetworkReply::TooManyRedirectsError) << none
                                   << plain + "/hop1";
    QTest::newRow("trusted certificate") << tls + "/echo" << 0 << none << 0 << none << none;
    QTest::newRow("untrusted certificate")
        << Untrusted.BaseUrl() + "/echo" << 1 << file << int(QNetworkReply::SslHandshakeFailedError)
        << "SSL handshake failed: " << none;
    QTest::newRow("no fall back to http")
        << tls + "/to-plain" << 0 << none << int(QNetworkReply::InsecureRedirectError) << none << plain + "/echo";
    QTest::newRow("full disk") << plain + "/file" << 0 << "/dev/full" << -1 << "Failed to write file: /dev/full"
                               << none;
    QTest::newRow("kept download again") << plain + "/file" << 1 << file << 0 << done << none;
}

void TestNdHttpManager::transferRules()
{
    QFETCH(QString, url);
    QFETCH(int, manager);
    QFETCH(QString, path);
    QFETCH(int, code);
    QFETCH(QString, text);
    QFETCH(QString, lands);
    const int plainEchoes = Plain.CountRequests("/echo");
    QPointer<QNetworkAccessManager> handedOver = new QNetworkAccessManager;
    Outcome outcome;
    {
        NdHttpManager http(url);
        if (manager == 1)
            http.ReuseManager(&KeptManager);
        if (manager == 2)
            http.Manager(handedOver);
        path.isEmpty() ? Observe(http, &outcome).GetSync() : Observe(http, &outcome).DownloadSync(path);
        QCOMPARE(outcome.Events, Ended(lands.isEmpty() ? url : lands, code == 0));
        QCOMPARE(http.LastUrl(), outcome.Events.value(1));
    }
    QCOMPARE(outcome.Code, code);
    QVERIFY2(outcome.Text.startsWith(text), qPrintable(outcome.Text));
    QCOMPARE(handedOver.isNull(), manager == 2); // the builder deletes only what was handed over
    delete handedOver;
    if (code == 0 && url.endsWith("/file")) {
        QVERIFY(NdReadFile(path) == FileBody);
        QCOMPARE(outcome.Progress.first, (long long)FileBody.size());
        QCOMPARE(outcome.Progress.second, (long long)FileBody.size());
    }
    if (code == QNetworkReply::InsecureRedirectError)
        QCOMPARE(Plain.CountRequests("/echo"), plainEchoes);
    QCOMPARE(Untrusted.CountRequests("/echo"), 0);
}

void TestNdHttpManager::limits_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<qint64>("maxBytes");
    QTest::addColumn<int>("stopAfterMs"); // the thread's stop check says stop after that long; -1: never
    QTest::addColumn<int>("code");
    QTest::newRow("announced beyond the cap") << "/big" << qint64(1 << 20) << -1 << NdHttpManager::kTooLargeError;
    QTest::newRow("within the cap") << "/file" << qint64(4 << 20) << -1 << 0;
    QTest::newRow("trickling") << "/trickle" << qint64(0) << -1 << int(QNetworkReply::TimeoutError);
    QTest::newRow("slow but steady, past a window") << "/steady" << qint64(0) << -1 << 0;
    QTest::newRow("stopped by its thread")
        << "/trickle" << qint64(0) << 200 << int(QNetworkReply::OperationCanceledError);
    QTest::newRow("stopped before it is sent")
        << "/echo" << qint64(0) << 0 << int(QNetworkReply::OperationCanceledError);
}

// What a download may cost: a cap on its size, 16 KiB in each time-out
// window, and no longer than its thread wants to wait.
void TestNdHttpManager::limits()
{
    QFETCH(QString, path);
    QFETCH(qint64, maxBytes);
    QFETCH(int, stopAfterMs);
    QFETCH(int, code);
    QElapsedTimer clock;
    clock.start();
    const NdStopScope scope([&] { return stopAfterMs >= 0 && clock.elapsed() >= stopAfterMs; });
    const int requestsBefore = Plain.CountRequests(path.toUtf8());
    Outcome outcome;
    Observe(NdHttpManager(Plain.BaseUrl() + path).MaxBytes(maxBytes), &outcome)
        .DownloadSync(Dir.filePath("limits.bin"));
    QCOMPARE(outcome.Code, code);
    QCOMPARE(outcome.Events.value(2), QString(code == 0 ? "success" : "fail"));
    if (code == QNetworkReply::OperationCanceledError)
        QVERIFY2(clock.elapsed() < stopAfterMs + 1000, qPrintable(QString::number(clock.elapsed())));
    if (code == QNetworkReply::TimeoutError) // at the end of the first window, not before
        QVERIFY(clock.elapsed() >= kTransferTimeoutMs - 100 && clock.elapsed() < 3 * kTransferTimeoutMs);
    if (path == "/steady")
        QVERIFY(clock.elapsed() > kTransferTimeoutMs);
    QCOMPARE(Plain.CountRequests(path.toUtf8()) - requestsBefore, stopAfterMs == 0 ? 0 : 1);
}

void TestNdHttpManager::tlsSessionsResumeFromWorkerThreads()
{
    // openssl's own test server keeps the sessions it hands out, answers a GET with the prepared
    // response file of that name and prints the handshake messages: a full handshake sends the
    // server's certificate, a resumed one does not.
    QVERIFY(NdWriteFile(Dir.filePath("page.txt"), "HTTP/1.0 200 ok\r\nContent-Length: 2\r\n\r\nok"));
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const QString address = QString("127.0.0.1:%1").arg(probe.serverPort());
    const QString url = "https://" + address + "/page.txt";
    probe.close();
    QProcess server;
    server.setWorkingDirectory(Dir.path());
    server.setProcessChannelMode(QProcess::MergedChannels);
    const NdTestCa& ca = NdTestCa::Instance();
    server.start("openssl",
        {"s_server", "-accept", address, "-cert", ca.ServerCertPath, "-key", ca.ServerKeyPath, "-HTTP", "-msg"});
    QByteArray said;
    while (!said.contains("ACCEPT") && server.waitForReadyRead(kWaitMs)) // it says so once it listens
        said += server.readAll();

    // The requests go out from a thread without an event loop, as the engine's segment workers
    // send them: each on a manager of its own, calling back on that thread. None may leave its
    // network thread or its socket behind (two of slack for the rest of the process).
    QVector<int> resourcesAfterEach;
    std::unique_ptr<QThread> worker(QThread::create([&url, &resourcesAfterEach] {
        for (int n = 0; n < 6; ++n) {
            QThread* const self = QThread::currentThread();
            QString text;
            NdHttpManager(url)
                .Success([&text, self](const QString& t) { text = self == QThread::currentThread() ? t : ""; })
                .GetSync();
            if (text != "ok")
                return;
            resourcesAfterEach << EntryCount("/proc/self/task") + EntryCount("/proc/self/fd");
        }
    }));
    worker->start();
    QVERIFY(worker->wait(kWaitMs));
    QCOMPARE(resourcesAfterEach.size(), 6);
    QVERIFY(resourcesAfterEach.last() <= resourcesAfterEach.first() + 2);
    QTRY_COMPARE_WITH_TIMEOUT((said += server.readAll()).count("ClientHello"), 6, kWaitMs);
    QCOMPARE(said.count(", Certificate\n"), 1);

    // A session never stands in for a certificate that is no longer trusted.
    const NdDeploySettings trusting = NdDeploySettings::Get();
    NdDeploySettings::Set(NdDeploySettings());
    Outcome refused;
    NdHttpManager again(url);
    Observe(again, &refused).GetSync();
    NdDeploySettings::Set(trusting);
    QCOMPARE(refused.Code, int(QNetworkReply::SslHandshakeFailedError));
    server.kill();
    server.waitForFinished();
}

QTEST_GUILESS_MAIN(TestNdHttpManager)
#include "TestNdHttpManager.moc"
