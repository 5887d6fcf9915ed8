#include "NdCore/NdDeploySettings.h"
#include "NdCore/NdHttpManager.h"
#include "NdCore/NdLogManager.h"
#include "NdTestEnv.h"
#include "NdTestHttpServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>
#include <vector>

namespace {

const int kTransferTimeoutMs = 1500;
const int kWaitMs = 8000;
const int kSlowShortChunks = 20;
const int kSlowShortDelayMs = 20;

// What the callbacks of one request did, in order.
struct Outcome
{
    QStringList events;
    QString text;
    int code = 0;
    QString finalUrl;
    long long received = 0;
    long long total = 0;
};

NdHttpManager& Observe(NdHttpManager& http, Outcome* outcome)
{
    return http
        .Success([outcome](const QString& text) {
            outcome->events << "success";
            outcome->text = text;
        })
        .Fail([outcome](const QString& text, int code) {
            outcome->events << "fail";
            outcome->text = text;
            outcome->code = code;
        })
        .Complete([outcome] { outcome->events << "complete"; })
        .FinalUrl([outcome](const QString& url) {
            outcome->events << "final";
            outcome->finalUrl = url;
        })
        .DownloadProgress([outcome](long long received, long long total) {
            outcome->received = received;
            outcome->total = total;
        });
}

const QStringList kSucceeded{"final", "success", "complete"};
const QStringList kFailed{"final", "fail", "complete"};

QByteArray RandomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(42);
    for (char& byte : bytes)
        byte = static_cast<char>(generator.bounded(256));
    return bytes;
}

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int EntryCount(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size();
}

// Warnings about objects used or made across threads, collected from any thread.
QMutex g_threadWarningsLock;
QStringList g_threadWarnings;

void CollectThreadWarnings(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type != QtWarningMsg || !message.contains(QLatin1String("thread"), Qt::CaseInsensitive))
        return;
    QMutexLocker locker(&g_threadWarningsLock);
    g_threadWarnings << message;
}

NdTestResponse Echo(const NdTestRequest& request)
{
    return NdTestResponse::Text(request.body);
}

// openssl's own test server with the test CA's server certificate: it keeps the
// sessions it hands out, answers a GET with the prepared response file of that
// name and prints the handshake messages: a full handshake sends the server's
// certificate, a resumed one does not.
class NdOpensslServer
{
public:
    ~NdOpensslServer()
    {
        m_process.kill();
        m_process.waitForFinished();
    }

    bool Start(const QString& folder)
    {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0))
            return false;
        m_port = probe.serverPort();
        probe.close();
        const NdTestCa& ca = NdTestCa::Instance();
        m_process.setWorkingDirectory(folder);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(QStringLiteral("openssl"),
            {"s_server", "-accept", QStringLiteral("127.0.0.1:%1").arg(m_port), "-cert", ca.ServerCertPath, "-key",
                ca.ServerKeyPath, "-HTTP", "-msg"});
        // It says "ACCEPT" once it listens.
        QElapsedTimer clock;
        clock.start();
        while (!m_said.contains("ACCEPT") && clock.elapsed() < kWaitMs && m_process.waitForReadyRead(kWaitMs))
            m_said += m_process.readAll();
        return m_said.contains("ACCEPT");
    }

    QString Url(const QString& file) const { return QStringLiteral("https://127.0.0.1:%1/%2").arg(m_port).arg(file); }
    int Handshakes() { return Said().count("ClientHello"); }
    int FullHandshakes() { return Said().count(", Certificate\n"); }

private:
    QByteArray Said()
    {
        m_said += m_process.readAll();
        return m_said;
    }

    QProcess m_process;
    QByteArray m_said;
    quint16 m_port = 0;
};

} // namespace

class TestNdHttpManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void requestShape_data();
    void requestShape();
    void replyText_data();
    void replyText();
    void debugOutput();
    void httpErrorFailsThenCompletes();
    void downloadIntoMissingFolder();
    void downloadStreamsBytesToFile();
    void downloadsOnOneBuilderKeepTheirFiles();
    void abortEndsRunningDownloadOnly();
    void builderGoneEndsAsyncDownload();
    void syncFormsWaitForLocalReplies();
    void suppliedManagerServesEveryRequest();
    void keptManagerKeepsTheRules_data();
    void keptManagerKeepsTheRules();
    void uploadParts_data();
    void uploadParts();
    void uploadOfUnreadableFile();
    void certificateTrust();
    void tlsSessionResumesOnNewConnections();
    void stalledTransferTimesOut_data();
    void stalledTransferTimesOut();
    void droppedConnectionFails();
    void fullDiskFailsTheDownload();
    void redirects();
    void syncCallsFromWorkerThread();
    void syncDownloadsFromManyThreads();

private:
    NdTestRequest LastRequest(const QByteArray& path) const;

    QTemporaryDir m_dir;
    NdTestHttpServer m_plain;
    NdTestHttpServer m_tls{NdTestHttpServer::Tls};
    NdTestHttpServer m_untrusted{NdTestHttpServer::TlsUntrusted};
    QByteArray m_fileBody;
    QString m_servedFile;
    QNetworkAccessManager m_keptManager; // one manager through every row, as a segment worker keeps it
};

void TestNdHttpManager::initTestCase()
{
    NdTestInitEnvironment();
    QVERIFY(m_dir.isValid());
    QVERIFY(NdTestCa::Instance().Ok);
    NdDeploySettings settings;
    settings.TrustedCertificates = QSslCertificate::fromPath(NdTestCa::Instance().CaCertPath);
    settings.TransferTimeoutMs = kTransferTimeoutMs;
    settings.RefererBaseUrl = "https://admin.example.test";
    NdDeploySettings::Set(settings);
    NdLogManager::Install();

    m_fileBody = RandomBytes(3 * 1024 * 1024 + 17);
    m_servedFile = m_dir.filePath("served.bin");
    QFile served(m_servedFile);
    QVERIFY(served.open(QIODevice::WriteOnly));
    served.write(m_fileBody);
    served.close();

    QVERIFY(m_plain.Start());
    QVERIFY(m_tls.Start());
    QVERIFY(m_untrusted.Start());
    for (NdTestHttpServer* server : {&m_plain, &m_tls, &m_untrusted})
        server->Route("/echo", Echo);
    m_plain.Route("/file", [this](const NdTestRequest&) {
        NdTestResponse response;
        response.filePath = m_servedFile;
        return response;
    });
    m_plain.Route("/other", [](const NdTestRequest&) { return NdTestResponse::Text("second file"); });
    m_plain.Route("/slow", [](const NdTestRequest&) {
        NdTestResponse response = NdTestResponse::Text(QByteArray(100 * 1000, 's'));
        response.chunkSize = 1000;
        response.chunkDelayMs = 20;
        return response;
    });
    m_plain.Route("/stall", [](const NdTestRequest&) {
        NdTestResponse response = NdTestResponse::Text(QByteArray(10000, 'x'));
        response.stallAfterBytes = 100;
        return response;
    });
    m_plain.Route("/slow-short", [](const NdTestRequest&) {
        NdTestResponse response = NdTestResponse::Text(QByteArray(kSlowShortChunks * 1000, 's'));
        response.chunkSize = 1000;
        response.chunkDelayMs = kSlowShortDelayMs;
        return response;
    });
    m_plain.Route("/drop", [](const NdTestRequest&) {
        NdTestResponse response = NdTestResponse::Text(QByteArray(10000, 'x'));
        response.dropAfterBytes = 100;
        return response;
    });
    m_plain.Route("/redirect", [](const NdTestRequest&) { return NdTestResponse::Redirect("/echo"); });
    const QByteArray plainEcho = m_plain.BaseUrl().toUtf8() + "/echo";
    m_tls.Route("/to-plain", [plainEcho](const NdTestRequest&) { return NdTestResponse::Redirect(plainEcho); });
}

void TestNdHttpManager::cleanupTestCase()
{
    m_plain.Stop();
    m_tls.Stop();
    m_untrusted.Stop();
    NdLogManager::UnInstall();
}

NdTestRequest TestNdHttpManager::LastRequest(const QByteArray& path) const
{
    const QList<NdTestRequest> requests = m_plain.Requests();
    for (int i = requests.size() - 1; i >= 0; --i) {
        if (requests.at(i).path == path)
            return requests.at(i);
    }
    return NdTestRequest();
}

void TestNdHttpManager::requestShape_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("method");
    QTest::addColumn<bool>("json");
    QTest::addColumn<QByteArray>("sentMethod");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("contentType");

    const QByteArray form = "application/x-www-form-urlencoded";
    const QByteArray json = "application/json; charset=utf-8";
    const QByteArray query = "a=1&b=x%20y&c=p%2Bq";
    QTest::newRow("get") << QString("/echo") << int(HttpGet) << false << QByteArray("GET") << "/echo?" + query
                         << QByteArray() << QByteArray("text/caller");
    QTest::newRow("get ignores json") << QString("/echo") << int(HttpGet) << true << QByteArray("GET")
                                      << "/echo?" + query << QByteArray() << QByteArray("text/caller");
    QTest::newRow("get onto a query") << QString("/echo?z=0") << int(HttpGet) << false << QByteArray("GET")
                                      << "/echo?z=0&" + query << QByteArray() << QByteArray("text/caller");
    QTest::newRow("post form") << QString("/echo") << int(HttpPost) << false << QByteArray("POST")
                               << QByteArray("/echo") << query << form;
    QTest::newRow("post json") << QString("/echo") << int(HttpPost) << true << QByteArray("POST") << QByteArray("/echo")
                               << QByteArray("{\"k\":\"v\"}") << json;
    QTest::newRow("put form") << QString("/echo") << int(HttpPut) << false << QByteArray("PUT") << QByteArray("/echo")
                              << query << form;
    QTest::newRow("put json") << QString("/echo") << int(HttpPut) << true << QByteArray("PUT") << QByteArray("/echo")
                              << QByteArray("{\"k\":\"v\"}") << json;
    QTest::newRow("delete") << QString("/echo") << int(HttpDelete) << false << QByteArray("DELETE")
                            << QByteArray("/echo") << QByteArray() << form;
}

void TestNdHttpManager::requestShape()
{
    QFETCH(QString, path);
    QFETCH(int, method);
    QFETCH(bool, json);
    QFETCH(QByteArray, sentMethod);
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, contentType);

    Outcome outcome;
    NdHttpManager http(m_plain.BaseUrl() + path);
    Observe(http, &outcome)
        .Param("a", 1)
        .Params({{"b", "x y"}, {"c", "p+q"}})
        .Header("Content-Type", "text/caller")
        .Header("user-agent", "Spoofed")
        .Headers({{"REFERER", "https://elsewhere.example.test"}});
    if (json)
        http.Json("{\"k\":\"v\"}");
    switch (method) {
    case HttpGet:
        http.GetSync();
        break;
    case HttpPost:
        http.PostSync();
        break;
    case HttpPut:
        http.PutSync();
        break;
    default:
        http.RemoveSync();
        break;
    }
    // The synchronous call returns only after every callback has run.
    QCOMPARE(outcome.events, kSucceeded);
    QCOMPARE(outcome.text, QString::fromUtf8(body));

    const NdTestRequest request = LastRequest("/echo");
    QCOMPARE(request.method, sentMethod);
    QCOMPARE(request.target, target);
    QCOMPARE(request.body, body);
    QCOMPARE(request.headers.value("content-type"), contentType);
    QCOMPARE(request.headers.value("user-agent"), QByteArray("NdDownloader"));
    QCOMPARE(request.headers.value("referer"), QByteArray("https://admin.example.test/NdDownloader"));
}

void TestNdHttpManager::replyText_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("charset");
    QTest::addColumn<QString>("expected");

    QTest::newRow("lines joined") << QByteArray("first\nsecond\r\nthird\n") << QString("UTF-8")
                                  << QString("firstsecondthird");
    QTest::newRow("utf-8") << QByteArray("\xe4\xb8\xad\xe6\x96\x87") << QString("UTF-8")
                           << QString::fromUtf8("\xe4\xb8\xad\xe6\x96\x87");
    QTest::newRow("gbk") << QByteArray("\xd6\xd0\xce\xc4") << QString("GBK")
                         << QString::fromUtf8("\xe4\xb8\xad\xe6\x96\x87");
}

void TestNdHttpManager::replyText()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, charset);
    QFETCH(QString, expected);

    m_plain.Route("/text", [body](const NdTestRequest&) { return NdTestResponse::Text(body); });
    Outcome outcome;
    NdHttpManager http(m_plain.BaseUrl() + "/text");
    Observe(http, &outcome).Charset(charset).GetSync();
    QCOMPARE(outcome.events, kSucceeded);
    QCOMPARE(outcome.text, expected);
}

void TestNdHttpManager::debugOutput()
{
    const QString url = m_plain.BaseUrl() + "/echo";
    QTest::ignoreMessage(QtDebugMsg, QString("[URL] " + url).toUtf8());
    QTest::ignoreMessage(QtDebugMsg, "[PARAM] a=1\n       b=x y\n");
    QTest::ignoreMessage(QtDebugMsg, "Request success: a=1&b=x%20y");
    NdHttpManager(url).Debug(true).Param("a", 1).Param("b", "x y").PostSync();

    QTest::ignoreMessage(QtDebugMsg, QString("[URL] " + url).toUtf8());
    QTest::ignoreMessage(QtDebugMsg, "[PARAM] {\"k\":1}");
    QTest::ignoreMessage(QtDebugMsg, "Request success: {\"k\":1}");
    NdHttpManager(url).Debug(true).Param("unused", 1).Json("{\"k\":1}").PutSync();

    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^\\[URL\\] .*/missing$"));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Request fail: .*Not Found$"));
    NdHttpManager(m_plain.BaseUrl() + "/missing").Debug(true).GetSync();
}

void TestNdHttpManager::httpErrorFailsThenCompletes()
{
    Outcome outcome;
    {
        // The request carries what it needs: the builder may go right away.
        NdHttpManager http(m_plain.BaseUrl() + "/missing");
        Observe(http, &outcome).GetAsync();
    }
    QTRY_COMPARE_WITH_TIMEOUT(outcome.events.size(), 3, kWaitMs);
    QCOMPARE(outcome.events, kFailed);
    QCOMPARE(outcome.code, int(QNetworkReply::ContentNotFoundError));
    QVERIFY2(outcome.text.contains("Not Found"), qPrintable(outcome.text));
}

void TestNdHttpManager::downloadIntoMissingFolder()
{
    const QString path = m_dir.filePath("no-such-folder/segment.ts");
    const int requestsBefore = m_plain.Requests().size();
    Outcome outcome;
    NdHttpManager http(m_plain.BaseUrl() + "/file");
    Observe(http, &outcome).DownloadSync(path);

    QCOMPARE(outcome.events, QStringList{"fail"});
    QCOMPARE(outcome.text, "Failed to open file: " + path);
    QCOMPARE(outcome.code, -1);
    QCOMPARE(m_plain.Requests().size(), requestsBefore);

    const QStringList logs = QDir(NdTestDataDir() + "/logs").entryList({"*.log"}, QDir::Files);
    QCOMPARE(logs.size(), 1);
    const QString log = QString::fromUtf8(ReadAll(NdTestDataDir() + "/logs/" + logs.first()));
    const QString line = "[ERROR]: Failed to open file: " + path + ".";
    QCOMPARE(log.count(line), 1);
    QCOMPARE(log.count("Failed to open file"), 1);
}

void TestNdHttpManager::downloadStreamsBytesToFile()
{
    const QString path = m_dir.filePath("download.bin");
    Outcome outcome;
    qint64 sizeSeenBySuccess = -1;
    NdHttpManager http(m_plain.BaseUrl() + "/file");
    Observe(http, &outcome).Success([&](const QString& text) {
        outcome.events << "success";
        outcome.text = text;
        sizeSeenBySuccess = QFileInfo(path).size();
    });
    http.DownloadSync(path);

    QCOMPARE(outcome.events, kSucceeded);
    QCOMPARE(outcome.text, QString("Download complete."));
    QCOMPARE(sizeSeenBySuccess, qint64(m_fileBody.size()));
    QCOMPARE(outcome.received, (long long)m_fileBody.size());
    QCOMPARE(outcome.total, (long long)m_fileBody.size());
    QVERIFY(ReadAll(path) == m_fileBody);
}

void TestNdHttpManager::downloadsOnOneBuilderKeepTheirFiles()
{
    const QString first = m_dir.filePath("first.bin");
    const QString second = m_dir.filePath("second.bin");
    int completed = 0;
    NdHttpManager http(m_plain.BaseUrl() + "/file");
    http.Complete([&] { ++completed; });
    http.Download(first);
    NdHttpManager other(m_plain.BaseUrl() + "/other");
    other.Complete([&] { ++completed; });
    other.Download(second);
    http.Download(second + ".again");
    QTRY_COMPARE_WITH_TIMEOUT(completed, 3, kWaitMs);
    QVERIFY(ReadAll(first) == m_fileBody);
    QVERIFY(ReadAll(second + ".again") == m_fileBody);
    QCOMPARE(ReadAll(second), QByteArray("second file"));
}

void TestNdHttpManager::abortEndsRunningDownloadOnly()
{
    const QString path = m_dir.filePath("slow.bin");
    Outcome outcome;
    NdHttpManager http(m_plain.BaseUrl() + "/slow");
    Observe(http, &outcome).Download(path);
    QTRY_VERIFY_WITH_TIMEOUT(outcome.received > 0, kWaitMs);
    http.Abort();
    QTRY_COMPARE_WITH_TIMEOUT(outcome.events, kFailed, kWaitMs);
    QCOMPARE(outcome.code, int(QNetworkReply::OperationCanceledError));

    // Aborting what is over changes nothing, neither here nor after a finished download.
    http.Abort();
    Outcome finished;
    NdHttpManager done(m_plain.BaseUrl() + "/other");
    Observe(done, &finished).DownloadSync(m_dir.filePath("done.bin"));
    done.Abort();
    QTest::qWait(50);
    QCOMPARE(outcome.events, kFailed);
    QCOMPARE(finished.events, kSucceeded);
    QCOMPARE(ReadAll(m_dir.filePath("done.bin")), QByteArray("second file"));
}

void TestNdHttpManager::builderGoneEndsAsyncDownload()
{
    // Gone before the first byte, and gone midway: neither download may call back later,
    // when its owner may be gone too.
    Outcome early;
    Outcome midway;
    QElapsedTimer sinceStart;
    sinceStart.start();
    {
        NdHttpManager first(m_plain.BaseUrl() + "/file");
        Observe(first, &early).Download(m_dir.filePath("early.bin"));
    }
    {
        NdHttpManager second(m_plain.BaseUrl() + "/slow-short");
        Observe(second, &midway).Download(m_dir.filePath("midway.bin"));
        QTRY_VERIFY_WITH_TIMEOUT(midway.received > 0, kWaitMs);
        QCOMPARE(midway.events, QStringList());
    }
    // Left running, both would have ended by now: the first before this later copy of it,
    // the second within its paced delivery.
    Outcome later;
    NdHttpManager http(m_plain.BaseUrl() + "/file");
    Observe(http, &later).DownloadSync(m_dir.filePath("later.bin"));
    QCOMPARE(later.events, kSucceeded);
    QTest::qWait(qMax<qint64>(100, 2 * kSlowShortChunks * kSlowShortDelayMs - sinceStart.elapsed()));
    QCOMPARE(early.events, QStringList());
    QCOMPARE(midway.events, QStringList());

    // A builder released by its own complete callback (as owners of async downloads do)
    // still sees every callback of that download once.
    Outcome released;
    auto* owned = new NdHttpManager(m_plain.BaseUrl() + "/other");
    Observe(*owned, &released).Complete([&released, owned] {
        released.events << "complete";
        delete owned;
    });
    owned->Download(m_dir.filePath("released.bin"));
    QTRY_COMPARE_WITH_TIMEOUT(released.events, kSucceeded, kWaitMs);
    QCOMPARE(ReadAll(m_dir.filePath("released.bin")), QByteArray("second file"));
}

void TestNdHttpManager::syncFormsWaitForLocalReplies()
{
    // A local file's reply is finished before it says so; the sync forms still return only
    // after its callbacks.
    const QString source = m_dir.filePath("local.txt");
    QFile file(source);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("line one\nline two\n");
    file.close();
    const QString url = QUrl::fromLocalFile(source).toString();

    Outcome get;
    NdHttpManager query(url);
    Observe(query, &get).GetSync();
    QCOMPARE(get.events, kSucceeded);
    QCOMPARE(get.text, QString("line oneline two"));

    Outcome download;
    NdHttpManager copy(url);
    Observe(copy, &download).DownloadSync(m_dir.filePath("local-copy.txt"));
    QCOMPARE(download.events, kSucceeded);
    QCOMPARE(ReadAll(m_dir.filePath("local-copy.txt")), QByteArray("line one\nline two\n"));
}

void TestNdHttpManager::suppliedManagerServesEveryRequest()
{
    QPointer<QNetworkAccessManager> manager = new QNetworkAccessManager;
    int finished = 0;
    connect(manager, &QNetworkAccessManager::finished, this, [&finished] { ++finished; });
    {
        Outcome first;
        Outcome second;
        NdHttpManager http(m_plain.BaseUrl() + "/echo");
        Observe(http.Manager(manager), &first).Param("n", 1).PostSync();
        Observe(http, &second).PostSync();
        QCOMPARE(first.events, kSucceeded);
        QCOMPARE(second.events, kSucceeded);
        QCOMPARE(finished, 2);
        QVERIFY(manager);
    }
    QVERIFY(!manager); // handed over: the builder deleted it
}

void TestNdHttpManager::keptManagerKeepsTheRules_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<int>("code"); // 0: success
    QTest::addColumn<QString>("finalUrl");
    const QString plain = m_plain.BaseUrl();
    QTest::newRow("download") << plain + "/file" << 0 << plain + "/file";
    QTest::newRow("idle time-out") << plain + "/stall" << int(QNetworkReply::TimeoutError) << plain + "/stall";
    QTest::newRow("dropped connection") << plain + "/drop" << int(QNetworkReply::RemoteHostClosedError)
                                        << plain + "/drop";
    QTest::newRow("redirect followed") << plain + "/redirect" << 0 << plain + "/echo";
    QTest::newRow("trusted certificate") << m_tls.BaseUrl() + "/echo" << 0 << m_tls.BaseUrl() + "/echo";
    QTest::newRow("untrusted certificate")
        << m_untrusted.BaseUrl() + "/echo" << int(QNetworkReply::SslHandshakeFailedError)
        << m_untrusted.BaseUrl() + "/echo";
    QTest::newRow("no fall back to http")
        << m_tls.BaseUrl() + "/to-plain" << int(QNetworkReply::InsecureRedirectError) << plain + "/echo";
    QTest::newRow("download again") << plain + "/file" << 0 << plain + "/file";
}

void TestNdHttpManager::keptManagerKeepsTheRules()
{
    QFETCH(QString, url);
    QFETCH(int, code);
    QFETCH(QString, finalUrl);
    const QString path = m_dir.filePath("kept.bin");
    Outcome outcome;
    {
        NdHttpManager http(url);
        Observe(http.ReuseManager(&m_keptManager), &outcome).DownloadSync(path);
    }
    QCOMPARE(outcome.events, code == 0 ? kSucceeded : kFailed);
    QCOMPARE(outcome.code, code);
    QCOMPARE(outcome.finalUrl, finalUrl);
    if (url.endsWith("/file"))
        QVERIFY(ReadAll(path) == m_fileBody);
}

void TestNdHttpManager::uploadParts_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QStringList>("expectedParts");

    const QString one = "name=\"file\"; filename=\"one.txt\"";
    QTest::newRow("one file") << QStringList{"one.txt"} << QByteArray() << QStringList{one};
    QTest::newRow("two files, empty path skipped")
        << QStringList{"one.txt", "", "two.txt"} << QByteArray()
        << QStringList{"name=\"files\"; filename=\"one.txt\"", "name=\"files\"; filename=\"two.txt\""};
    QTest::newRow("bytes") << QStringList() << QByteArray("raw bytes")
                           << QStringList{"name=\"file\"; filename=\"no-name\""};
}

void TestNdHttpManager::uploadParts()
{
    QFETCH(QStringList, files);
    QFETCH(QByteArray, data);
    QFETCH(QStringList, expectedParts);

    QStringList paths;
    for (const QString& name : files) {
        if (name.isEmpty()) {
            paths << QString();
            continue;
        }
        QFile file(m_dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("content of " + name.toUtf8());
        paths << file.fileName();
    }
    m_plain.Route("/upload", [](const NdTestRequest&) { return NdTestResponse::Text("stored\n"); });

    Outcome outcome;
    NdHttpManager http(m_plain.BaseUrl() + "/upload");
    Observe(http, &outcome).Param("lesson", "7");
    if (paths.isEmpty())
        http.Upload(data);
    else if (paths.size() == 1)
        http.Upload(paths.first());
    else
        http.MutiUpload(paths);
    QTRY_COMPARE_WITH_TIMEOUT(outcome.events, kSucceeded, kWaitMs);
    QCOMPARE(outcome.text, QString("stored"));

    const NdTestRequest request = LastRequest("/upload");
    QCOMPARE(request.method, QByteArray("POST"));
    QVERIFY(request.headers.value("content-type").startsWith("multipart/form-data; boundary="));
    const QString body = QString::fromUtf8(request.body);
    QCOMPARE(body.count("Content-Disposition: form-data;"), expectedParts.size() + 1);
    QVERIFY(body.contains("name=\"lesson\"\r\n\r\n7\r\n"));
    for (const QString& part : expectedParts)
        QVERIFY2(body.contains(part), qPrintable(part));
    for (const QString& name : files) {
        if (!name.isEmpty())
            QVERIFY(body.contains("\r\n\r\ncontent of " + name + "\r\n"));
    }
    if (!data.isEmpty())
        QVERIFY(body.contains("\r\n\r\n" + data + "\r\n"));
}

void TestNdHttpManager::uploadOfUnreadableFile()
{
    QFile readable(m_dir.filePath("readable.txt"));
    QVERIFY(readable.open(QIODevice::WriteOnly));
    readable.close();
    const QString missing = m_dir.filePath("missing.txt");
    const int requestsBefore = m_plain.Requests().size();

    Outcome outcome;
    NdHttpManager http(m_plain.BaseUrl() + "/upload");
    Observe(http, &outcome).MutiUpload({readable.fileName(), missing});
    QCOMPARE(outcome.events, QStringList{"fail"});
    QCOMPARE(outcome.code, -1);
    QVERIFY2(outcome.text.startsWith("Fialed to open file[") && outcome.text.endsWith("]: " + missing),
        qPrintable(outcome.text));
    QTest::qWait(100);
    QCOMPARE(outcome.events, QStringList{"fail"});
    QCOMPARE(m_plain.Requests().size(), requestsBefore);

    // A caller's Content-Type survives on uploads (the multipart default is only a default).
    NdHttpManager(m_plain.BaseUrl() + "/echo").Header("Content-Type", "text/caller").Upload(QByteArray("x"));
    QTRY_COMPARE_WITH_TIMEOUT(LastRequest("/echo").headers.value("content-type"), QByteArray("text/caller"), kWaitMs);
}

void TestNdHttpManager::certificateTrust()
{
    Outcome trusted;
    NdHttpManager good(m_tls.BaseUrl() + "/echo");
    Observe(good, &trusted).Param("k", "v").PostSync();
    QCOMPARE(trusted.events, kSucceeded);
    QCOMPARE(trusted.text, QString("k=v"));

    Outcome untrusted;
    NdHttpManager bad(m_untrusted.BaseUrl() + "/echo");
    Observe(bad, &untrusted).Param("k", "v").PostSync();
    QCOMPARE(untrusted.events, kFailed);
    QCOMPARE(untrusted.code, int(QNetworkReply::SslHandshakeFailedError));
    QVERIFY2(untrusted.text.startsWith("SSL handshake failed: "), qPrintable(untrusted.text));
    QCOMPARE(m_untrusted.CountRequests("/echo"), 0);
}

void TestNdHttpManager::tlsSessionResumesOnNewConnections()
{
    QFile page(m_dir.filePath("page.txt"));
    QVERIFY(page.open(QIODevice::WriteOnly));
    page.write("HTTP/1.0 200 ok\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n\r\nok");
    page.close();
    NdOpensslServer server;
    QVERIFY(server.Start(m_dir.path()));
    Outcome first;
    NdHttpManager http(server.Url("page.txt"));
    Observe(http, &first).GetSync();
    QCOMPARE(first.events, kSucceeded);
    QCOMPARE(first.text, QString("ok"));
    QTRY_COMPARE_WITH_TIMEOUT(server.Handshakes(), 1, kWaitMs);
    QCOMPARE(server.FullHandshakes(), 1);

    // Another thread with a manager of its own, as the next task's segment worker.
    Outcome resumed;
    std::unique_ptr<QThread> worker(QThread::create([&server, &resumed] {
        QNetworkAccessManager manager;
        NdHttpManager next(server.Url("page.txt"));
        Observe(next.ReuseManager(&manager), &resumed).GetSync();
    }));
    worker->start();
    QVERIFY(worker->wait(kWaitMs));
    QCOMPARE(resumed.events, kSucceeded);
    QTRY_COMPARE_WITH_TIMEOUT(server.Handshakes(), 2, kWaitMs);
    QCOMPARE(server.FullHandshakes(), 1);

    // A session never stands in for a certificate that is no longer trusted.
    const NdDeploySettings trusting = NdDeploySettings::Get();
    NdDeploySettings untrusting = trusting;
    untrusting.TrustedCertificates.clear();
    NdDeploySettings::Set(untrusting);
    Outcome refused;
    NdHttpManager again(server.Url("page.txt"));
    Observe(again, &refused).GetSync();
    NdDeploySettings::Set(trusting);
    QCOMPARE(refused.events, kFailed);
    QCOMPARE(refused.code, int(QNetworkReply::SslHandshakeFailedError));
}

void TestNdHttpManager::stalledTransferTimesOut_data()
{
    QTest::addColumn<bool>("download");
    QTest::newRow("download") << true;
    QTest::newRow("get") << false;
}

void TestNdHttpManager::stalledTransferTimesOut()
{
    QFETCH(bool, download);
    Outcome outcome;
    NdHttpManager http(m_plain.BaseUrl() + "/stall");
    Observe(http, &outcome);
    QElapsedTimer timer;
    timer.start();
    if (download)
        http.DownloadSync(m_dir.filePath("stalled.bin"));
    else
        http.GetSync();
    QCOMPARE(outcome.events, kFailed);
    QCOMPARE(outcome.text, QString("Transfer timed out"));
    QCOMPARE(outcome.code, int(QNetworkReply::TimeoutError));
    QVERIFY(timer.elapsed() >= kTransferTimeoutMs - 100);
    QVERIFY(timer.elapsed() < kTransferTimeoutMs * 3);
}

void TestNdHttpManager::droppedConnectionFails()
{
    Outcome outcome;
    NdHttpManager http(m_plain.BaseUrl() + "/drop");
    Observe(http, &outcome).DownloadSync(m_dir.filePath("dropped.bin"));
    QCOMPARE(outcome.events, kFailed);
    QCOMPARE(outcome.code, int(QNetworkReply::RemoteHostClosedError));
}

void TestNdHttpManager::fullDiskFailsTheDownload()
{
    if (!QFileInfo::exists("/dev/full"))
        QSKIP("needs /dev/full");
    Outcome outcome;
    NdHttpManager http(m_plain.BaseUrl() + "/file");
    Observe(http, &outcome).DownloadSync("/dev/full");
    QCOMPARE(outcome.events, kFailed);
    QCOMPARE(outcome.text, QString("Failed to write file: /dev/full"));
    QCOMPARE(outcome.code, -1);
}

void TestNdHttpManager::redirects()
{
    Outcome followed;
    NdHttpManager http(m_plain.BaseUrl() + "/redirect");
    Observe(http, &followed).Param("k", "v").GetSync();
    QCOMPARE(followed.events, kSucceeded);
    QCOMPARE(followed.finalUrl, m_plain.BaseUrl() + "/echo");
    QCOMPARE(http.LastUrl(), followed.finalUrl);

    // https never falls back to plain http.
    const int plainBefore = m_plain.CountRequests("/echo");
    Outcome refused;
    NdHttpManager secure(m_tls.BaseUrl() + "/to-plain");
    Observe(secure, &refused).GetSync();
    QCOMPARE(refused.events, kFailed);
    QCOMPARE(refused.code, int(QNetworkReply::InsecureRedirectError));
    QCOMPARE(m_plain.CountRequests("/echo"), plainBefore);
}

void TestNdHttpManager::syncCallsFromWorkerThread()
{
    const QString path = m_dir.filePath("worker.bin");
    Outcome get;
    Outcome download;
    QThread* callbackThread = nullptr;
    std::unique_ptr<QThread> worker(QThread::create([&] {
        NdHttpManager http(m_tls.BaseUrl() + "/echo");
        Observe(http, &get).Json("{}").Complete([&] {
            get.events << "complete";
            callbackThread = QThread::currentThread();
        });
        http.PostSync();
        NdHttpManager file(m_plain.BaseUrl() + "/file");
        Observe(file, &download).DownloadSync(path);
    }));
    worker->start();
    QVERIFY(worker->wait(kWaitMs));
    QCOMPARE(get.events, kSucceeded);
    QCOMPARE(get.text, QString("{}"));
    QCOMPARE(callbackThread, worker.get());
    QCOMPARE(download.events, kSucceeded);
    QVERIFY(ReadAll(path) == m_fileBody);
}

void TestNdHttpManager::syncDownloadsFromManyThreads()
{
    // As the engine does: segment threads without an event loop of their own, many at once,
    // each firing synchronous downloads; every request must take its manager, its network
    // thread and its sockets with it.
    if (!QDir(QStringLiteral("/proc/self/task")).exists())
        QSKIP("needs /proc to count threads and open files");
    const int threadCount = 25;
    const int downloadsPerThread = 4;
    const auto runWorkers = [this](int workerCount, int downloads) {
        std::atomic<int> succeeded{0};
        std::vector<std::unique_ptr<QThread>> workers;
        for (int t = 0; t < workerCount; ++t) {
            workers.emplace_back(QThread::create([this, t, downloads, &succeeded] {
                for (int n = 0; n < downloads; ++n) {
                    const QString path = m_dir.filePath(QString("segment-%1-%2.ts").arg(t).arg(n));
                    Outcome outcome;
                    NdHttpManager http(m_plain.BaseUrl() + "/other");
                    Observe(http, &outcome).DownloadSync(path);
                    if (outcome.events == kSucceeded && ReadAll(path) == "second file")
                        ++succeeded;
                }
            }));
        }
        for (auto& worker : workers)
            worker->start();
        bool allEnded = true;
        for (auto& worker : workers)
            allEnded = worker->wait(kWaitMs) && allEnded;
        return allEnded ? succeeded.load() : -1;
    };
    QCOMPARE(runWorkers(1, 1), 1); // whatever Qt sets up once per process

    // One after another on one thread, nothing may pile up until the thread ends.
    QVector<int> threadsAfterEach;
    std::unique_ptr<QThread> sequential(QThread::create([this, &threadsAfterEach] {
        for (int n = 0; n < 6; ++n) {
            NdHttpManager(m_plain.BaseUrl() + "/other").DownloadSync(m_dir.filePath("sequential.ts"));
            threadsAfterEach << EntryCount(QStringLiteral("/proc/self/task"));
        }
    }));
    sequential->start();
    QVERIFY(sequential->wait(kWaitMs));
    // A leak grows by one network thread per call; one thread of slack for the rest of the
    // process, which may start or end one meanwhile.
    QString counts;
    for (int count : threadsAfterEach)
        counts += QString::number(count) + ' ';
    QVERIFY2(threadsAfterEach.last() <= threadsAfterEach.first() + 1, qPrintable(counts));

    const int threadsBefore = EntryCount(QStringLiteral("/proc/self/task"));
    const int filesBefore = EntryCount(QStringLiteral("/proc/self/fd"));

    const QtMessageHandler previous = qInstallMessageHandler(CollectThreadWarnings);
    const int succeeded = runWorkers(threadCount, downloadsPerThread);
    qInstallMessageHandler(previous);
    QCOMPARE(succeeded, threadCount * downloadsPerThread);
    QCOMPARE(g_threadWarnings, QStringList());
    QTRY_VERIFY_WITH_TIMEOUT(EntryCount(QStringLiteral("/proc/self/task")) <= threadsBefore + 1, kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(EntryCount(QStringLiteral("/proc/self/fd")) <= filesBefore + 2, kWaitMs);
}

QTEST_GUILESS_MAIN(TestNdHttpManager)
#include "TestNdHttpManager.moc"
