#include "NdCore/NdCacheManager.h"
#include "NdCore/NdDeploySettings.h"
#include "NdDownloaderBackEndImpl.h"
#include "NdTestEnv.h"
#include "NdTestHttpServer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QMutexLocker>
#include <QSslCertificate>
#include <QThread>
#include <QtTest>

#include <vector>

namespace {
NdDownloaderBackEndImpl& BackEnd()
{
    return *static_cast<NdDownloaderBackEndImpl*>(NdDownloaderInterface::INdDownloaderBackEnd::GetInstance());
}

const char* const kAppId = "ndtestapp000001";
const QByteArray kTokenPath = "alive_b/alive_download/get_download_data";
const QByteArray kVersionPath = "alive_b/alive_download/get_download_link/";

QJsonObject BodyOf(const NdTestRequest& request)
{
    return QJsonDocument::fromJson(request.body).object();
}

DownloadTaskParam_t Record(const char* appId, const char* userId)
{
    DownloadTaskParam_t task;
    task.AppId = appId;
    task.UserId = userId;
    task.VideoM3U8Url = "https://cdn.test/v/index.m3u8?a=1";
    task.VideoName = "Lesson & more=1";
    return task;
}
} // namespace

class TestNdBackEndServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void reportBeforeAnyQueryHasNoIds();
    void tokenQueryAddressAndBody_data();
    void tokenQueryAddressAndBody();
    void tokenQueryReadsFields();
    void tokenQueryOutcomes_data();
    void tokenQueryOutcomes();
    void cachedIdsFollowSuccessfulAnswersOnly();
    void updateCheck_data();
    void updateCheck();
    void reportDocument_data();
    void reportDocument();
    void reportEndpointFollowsEnvironment_data();
    void reportEndpointFollowsEnvironment();
    void asyncReportsArriveFromAnyThread();

private:
    void Answer(const QByteArray& path, const QByteArray& body, int status = 200);
    QList<NdTestRequest> RequestsTo(const QByteArray& pathEnd) const;
    QJsonObject LastReport() const;

    NdTestHttpServer m_server{NdTestHttpServer::Tls};
    QMutex m_answerLock;
    QMap<QByteArray, QPair<int, QByteArray>> m_answers; // by path end, guarded by m_answerLock
};

void TestNdBackEndServer::initTestCase()
{
    NdTestInitEnvironment();
    QVERIFY(NdTestCa::Instance().Ok);
    QVERIFY(m_server.Start());
    NdDeploySettings settings;
    const QString base = m_server.BaseUrl();
    settings.AdminBaseUrls[0] = base + QStringLiteral("/prod/");
    settings.AdminBaseUrls[1] = base + QStringLiteral("/internal/");
    settings.AdminBaseUrls[2] = base + QStringLiteral("/test/");
    settings.ReportBaseUrl = base + QStringLiteral("/report/");
    settings.FallbackReportBaseUrl = base + QStringLiteral("/fallback/");
    settings.AppId = QString::fromLatin1(kAppId);
    settings.TransferTimeoutMs = 5000;
    settings.TrustedCertificates = QSslCertificate::fromPath(NdTestCa::Instance().CaCertPath);
    NdDeploySettings::Set(settings);
    m_server.SetFallback([this](const NdTestRequest& request) {
        QMutexLocker locker(&m_answerLock);
        for (auto it = m_answers.cbegin(); it != m_answers.cend(); ++it) {
            if (request.path.endsWith(it.key()))
                return NdTestResponse::Text(it.value().second, it.value().first, "application/json");
        }
        return NdTestResponse::Text("{}", 200, "application/json");
    });
}

void TestNdBackEndServer::cleanupTestCase()
{
    m_server.Stop();
}

void TestNdBackEndServer::init()
{
    NdCacheManager::GetInstance()->SetBackEndEnvironment(Production);
    m_server.ClearRequests();
    QMutexLocker locker(&m_answerLock);
    m_answers.clear();
}

void TestNdBackEndServer::Answer(const QByteArray& path, const QByteArray& body, int status)
{
    QMutexLocker locker(&m_answerLock);
    m_answers[path] = qMakePair(status, body);
}

QList<NdTestRequest> TestNdBackEndServer::RequestsTo(const QByteArray& pathEnd) const
{
    QList<NdTestRequest> found;
    for (const NdTestRequest& request : m_server.Requests()) {
        if (request.path.endsWith(pathEnd))
            found << request;
    }
    return found;
}

QJsonObject TestNdBackEndServer::LastReport() const
{
    const QList<NdTestRequest> reports = RequestsTo("error_report");
    return reports.isEmpty() ? QJsonObject() : BodyOf(reports.last());
}

void TestNdBackEndServer::reportBeforeAnyQueryHasNoIds()
{
    BackEnd().ReportInfo(DownloadTaskParam_t(), DownloadReport, "pc_enter_client_mac", false);
    const QJsonObject common = LastReport().value("common_data").toObject();
    QVERIFY(common.contains("app_id"));
    QCOMPARE(common.value("app_id").toString(), QString());
    QCOMPARE(common.value("user_id").toString(), QString());
}

void TestNdBackEndServer::tokenQueryAddressAndBody_data()
{
    QTest::addColumn<int>("environment");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<bool>("sendsAppId");
    QTest::newRow("production") << 0 << QByteArray("/prod/") + kTokenPath << false;
    QTest::newRow("unknown code as production") << 7 << QByteArray("/prod/") + kTokenPath << false;
    QTest::newRow("internal test") << 1 << QByteArray("/internal/") + kTokenPath << true;
    QTest::newRow("test") << 2 << QByteArray("/test/") + kTokenPath << true;
}

void TestNdBackEndServer::tokenQueryAddressAndBody()
{
    QFETCH(int, environment);
    QFETCH(QByteArray, path);
    QFETCH(bool, sendsAppId);
    NdCacheManager::GetInstance()->SetBackEndEnvironment(environment);
    std::vector<DownloadTaskParam_t> tasks;
    QVERIFY(BackEnd().GetDownloadTaskByToken("tok-\"1\"", tasks));
    const QList<NdTestRequest> requests = m_server.Requests();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().method, QByteArray("POST"));
    QCOMPARE(requests.first().path, path);
    QVERIFY(requests.first().headers.value("content-type").startsWith("application/json"));
    const QJsonObject body = BodyOf(requests.first());
    QCOMPARE(body.value("token").toString(), QStringLiteral("tok-\"1\""));
    QCOMPARE(body.contains("app_id"), sendsAppId);
    QCOMPARE(body.size(), sendsAppId ? 2 : 1);
    if (sendsAppId)
        QCOMPARE(body.value("app_id").toString(), QString::fromLatin1(kAppId));
}

void TestNdBackEndServer::tokenQueryReadsFields()
{
    Answer(kTokenPath, R"({"code":0,"data":{
        "download_data":[
          {"url":"https://cdn.test/a/index.m3u8","file_name":"L/e:s?s|o\"n<1\\>*","size":"12.5","duration":61},
          {"url":"u2","file_name":"第二课","size":12.5},
          {"file_name":"partial","size":"7.25MB"}],
        "user_info":{"app_id":"app-9","user_id":"user-9"}}})");
    std::vector<DownloadTaskParam_t> tasks(1);
    tasks[0].VideoName = "kept";
    QVERIFY(BackEnd().GetDownloadTaskByToken("t", tasks));
    QCOMPARE(int(tasks.size()), 4);
    QCOMPARE(tasks[0].VideoName, std::string("kept"));

    QCOMPARE(tasks[1].VideoName, std::string("Lesson1>*"));
    QCOMPARE(tasks[1].VideoM3U8Url, std::string("https://cdn.test/a/index.m3u8"));
    QCOMPARE(tasks[1].VideoFileSize, 12.5f);
    QCOMPARE(tasks[1].VideoDuration, 61);
    QCOMPARE(tasks[1].AppId, std::string("app-9"));
    QCOMPARE(tasks[1].UserId, std::string("user-9"));
    QCOMPARE(tasks[1].VideoState, int(Wait));

    QCOMPARE(QString::fromStdString(tasks[2].VideoName), QStringLiteral("第二课"));
    QCOMPARE(tasks[2].VideoFileSize, 12.5f);
    QCOMPARE(tasks[2].VideoDuration, 0);

    QCOMPARE(tasks[3].VideoFileSize, 7.25f);
    QCOMPARE(tasks[3].VideoM3U8Url, std::string());
}

void TestNdBackEndServer::tokenQueryOutcomes_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("added");

    const QByteArray user = R"("user_info":{"app_id":"a","user_id":"u"})";
    QTest::newRow("empty data") << 200 << QByteArray(R"({"code":0,"data":{}})") << true << 0;
    QTest::newRow("code 1") << 200 << QByteArray(R"({"code":1})") << false << 0;
    QTest::newRow("comments allowed") << 200
                                      << QByteArray("/* note */ {\"code\":0,\"data\":{\"download_data\":[{}]," + user
                                             + "}} // end")
                                      << true << 1;
    QTest::newRow("missing size") << 200 << QByteArray("{\"code\":0,\"data\":{\"download_data\":[{\"url\":\"x\"}]}}")
                                  << true << 1;
    QTest::newRow("HTTP 500") << 500 << QByteArray(R"({"code":0,"data":{"download_data":[{}]}})") << false << 0;
    QTest::newRow("HTML page") << 200 << QByteArray("<html><body>Bad gateway</body></html>") << false << 0;
    QTest::newRow("empty body") << 200 << QByteArray() << false << 0;
    QTest::newRow("cut off") << 200 << QByteArray(R"({"code":0,"data":{"download_data":[{"url":"x"},{"ur)") << false
                             << 0;
    QTest::newRow("array root") << 200 << QByteArray("[1,2]") << false << 0;
    QTest::newRow("code as text") << 200 << QByteArray(R"({"code":"zero"})") << false << 0;
    QTest::newRow("size object") << 200 << QByteArray(R"({"code":0,"data":{"download_data":[{"size":{"mb":1}}]}})")
                                 << false << 0;
    QTest::newRow("duration text") << 200 << QByteArray(R"({"code":0,"data":{"download_data":[{"duration":"long"}]}})")
                                   << false << 0;
    QTest::newRow("file name object") << 200
                                      << QByteArray(R"({"code":0,"data":{"download_data":[{"file_name":{"a":1}}]}})")
                                      << false << 0;
    QTest::newRow("list as text") << 200 << QByteArray(R"({"code":0,"data":{"download_data":"none"}})") << false << 0;
    QTest::newRow("element as number") << 200 << QByteArray(R"({"code":0,"data":{"download_data":[{},3]}})") << false
                                       << 0;
    QTest::newRow("app id array") << 200
                                  << QByteArray(
                                         R"({"code":0,"data":{"download_data":[{}],"user_info":{"app_id":[1]}}})")
                                  << false << 0;
    QTest::newRow("data as text") << 200 << QByteArray(R"({"code":0,"data":"x"})") << false << 0;
}

void TestNdBackEndServer::tokenQueryOutcomes()
{
    QFETCH(int, status);
    QFETCH(QByteArray, answer);
    QFETCH(bool, ok);
    QFETCH(int, added);
    Answer(kTokenPath, answer, status);
    std::vector<DownloadTaskParam_t> tasks(2);
    QCOMPARE(BackEnd().GetDownloadTaskByToken("t", tasks), ok);
    QCOMPARE(int(tasks.size()), 2 + added);
}

void TestNdBackEndServer::cachedIdsFollowSuccessfulAnswersOnly()
{
    Answer(
        kTokenPath, R"({"code":0,"data":{"download_data":[{"url":"x"}],"user_info":{"app_id":"A1","user_id":"U1"}}})");
    std::vector<DownloadTaskParam_t> tasks;
    QVERIFY(BackEnd().GetDownloadTaskByToken("t", tasks));

    BackEnd().ReportInfo(Record("", "ignored"), ClickReport, "btn_min", false);
    QJsonObject common = LastReport().value("common_data").toObject();
    QCOMPARE(common.value("app_id").toString(), QStringLiteral("A1"));
    QCOMPARE(common.value("user_id").toString(), QStringLiteral("U1"));

    // A failed answer and an answer without videos leave the cache alone.
    Answer(
        kTokenPath, R"({"code":0,"data":{"download_data":[{"size":[]}],"user_info":{"app_id":"A2","user_id":"U2"}}})");
    QVERIFY(!BackEnd().GetDownloadTaskByToken("t", tasks));
    Answer(kTokenPath, R"({"code":0,"data":{"download_data":[],"user_info":{"app_id":"A3","user_id":"U3"}}})");
    QVERIFY(BackEnd().GetDownloadTaskByToken("t", tasks));
    BackEnd().ReportInfo(Record("", ""), ClickReport, "btn_min", false);
    common = LastReport().value("common_data").toObject();
    QCOMPARE(common.value("app_id").toString(), QStringLiteral("A1"));

    // A record with its own AppId sends its own ids, even an empty UserId.
    BackEnd().ReportInfo(Record("own-app", ""), ClickReport, "btn_min", false);
    common = LastReport().value("common_data").toObject();
    QCOMPARE(common.value("app_id").toString(), QStringLiteral("own-app"));
    QCOMPARE(common.value("user_id").toString(), QString());
}

void TestNdBackEndServer::updateCheck_data()
{
    QTest::addColumn<int>("environment");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("version"); // "untouched" when the record must stay as it was
    QTest::addColumn<QString>("msg");
    QTest::addColumn<QString>("downloadUrl");
    QTest::addColumn<bool>("mustUpdate");

    const QByteArray offer
        = R"({"code":0,"data":{"version":"1.0.5","msg":"Fixes","download_url":"https://h/x.dmg","must_update":2}})";
    QTest::newRow("mandatory") << 0 << 200 << offer << "1.0.5"
                               << "Fixes"
                               << "https://h/x.dmg" << true;
    QTest::newRow("optional, test environment")
        << 2 << 200 << QByteArray(R"({"code":0,"data":{"version":"1.0.6","must_update":0}})") << "1.0.6"
        << ""
        << "" << false;
    QTest::newRow("no data") << 1 << 200 << QByteArray(R"({"code":0})") << ""
                             << ""
                             << "" << false;
    QTest::newRow("code 1") << 0 << 200 << QByteArray(offer).replace("\"code\":0", "\"code\":1") << "untouched"
                            << ""
                            << "" << false;
    QTest::newRow("empty answer") << 0 << 200 << QByteArray() << "untouched"
                                  << ""
                                  << "" << false;
    QTest::newRow("HTTP 404") << 0 << 404 << QByteArray(R"({"code":0,"data":{"version":"9"}})") << "untouched"
                              << ""
                              << "" << false;
    QTest::newRow("must_update as text") << 0 << 200
                                         << QByteArray(R"({"code":0,"data":{"version":"2","must_update":"yes"}})")
                                         << "untouched"
                                         << ""
                                         << "" << false;
}

void TestNdBackEndServer::updateCheck()
{
    QFETCH(int, environment);
    QFETCH(int, status);
    QFETCH(QByteArray, answer);
    QFETCH(QString, version);
    QFETCH(QString, msg);
    QFETCH(QString, downloadUrl);
    QFETCH(bool, mustUpdate);
    NdCacheManager::GetInstance()->SetBackEndEnvironment(environment);
    Answer(kVersionPath, answer, status);

    NdSoftVersion_t record;
    record.Version = "untouched";
    BackEnd().GetSoftVersion(record);
    QCOMPARE(QString::fromStdString(record.Version), version);
    QCOMPARE(QString::fromStdString(record.Msg), msg);
    QCOMPARE(QString::fromStdString(record.DownloadUrl), downloadUrl);
    QCOMPARE(record.MustUpdate, mustUpdate);

    const QList<NdTestRequest> requests = RequestsTo(kVersionPath);
    QCOMPARE(requests.size(), 1);
    const QByteArray prefix = environment == 0 ? "/prod/" : environment == 1 ? "/internal/" : "/test/";
    QCOMPARE(requests.first().path, prefix + kVersionPath);
    const QJsonObject body = BodyOf(requests.first());
    QCOMPARE(body.value("platform").toInt(), 2);
    QCOMPARE(body.value("version").toString(), QStringLiteral("1.0.4"));
    QCOMPARE(body.value("MAC").toString(), BackEnd().GetHostMacAddress());
    QCOMPARE(body.contains("app_id"), environment != 0);
}

void TestNdBackEndServer::reportDocument_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("apiUrl"); // "absent" when the member must be missing
    QTest::addColumn<QString>("apiParams");
    QTest::newRow("download")
        << 0 << "download_type"
        << "m3u8_url=https://cdn.test/v/index.m3u8?a=1&video_name=Lesson & more=1&msg=download_fail";
    QTest::newRow("click") << 1 << "click_butt"
                           << "download_fail";
    QTest::newRow("other") << 5 << "absent"
                           << "absent";
}

void TestNdBackEndServer::reportDocument()
{
    QFETCH(int, type);
    QFETCH(QString, apiUrl);
    QFETCH(QString, apiParams);
    BackEnd().ReportInfo(Record("app-1", "user-1"), type, "download_fail", false);
    const QList<NdTestRequest> reports = RequestsTo("error_report");
    QCOMPARE(reports.size(), 1);
    QVERIFY(reports.first().headers.value("content-type").startsWith("application/json"));
    const QJsonObject report = BodyOf(reports.first());
    QCOMPARE(report.size(), 3);
    QCOMPARE(report.value("report_type").toInt(), 2);

    const QJsonObject common = report.value("common_data").toObject();
    const QJsonObject expectedCommon{{"agent", "alive_nddownloadr_mac"}, {"alive_id", BackEnd().GetHostMacAddress()},
        {"alive_type", 1}, {"app_id", "app-1"}, {"build_version", "1.0.4"}, {"client", "11"}, {"page", "alive_list"},
        {"user_id", "user-1"}, {"user_role", "0"}};
    QCOMPARE(common, expectedCommon);

    QJsonObject expectedApi{{"api_is_success", "1"}, {"api_type", "alive_nddownloader_log"}};
    if (apiUrl != QLatin1String("absent")) {
        expectedApi.insert("api_url", apiUrl);
        expectedApi.insert("api_params", apiParams);
    }
    QCOMPARE(report.value("api_data").toObject(), expectedApi);
}

void TestNdBackEndServer::reportEndpointFollowsEnvironment_data()
{
    QTest::addColumn<int>("environment");
    QTest::addColumn<QByteArray>("path");
    QTest::newRow("production") << 0 << QByteArray("/report/error_report");
    QTest::newRow("internal test") << 1 << QByteArray("/fallback/error_report");
    QTest::newRow("test") << 2 << QByteArray("/fallback/error_report");
    QTest::newRow("unknown") << 7 << QByteArray("/report/error_report");
}

void TestNdBackEndServer::reportEndpointFollowsEnvironment()
{
    QFETCH(int, environment);
    QFETCH(QByteArray, path);
    NdCacheManager::GetInstance()->SetBackEndEnvironment(environment);
    BackEnd().ReportInfo(DownloadTaskParam_t(), ClickReport, "btn_exit", false);
    const QList<NdTestRequest> requests = m_server.Requests();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().path, path);
}

void TestNdBackEndServer::asyncReportsArriveFromAnyThread()
{
    BackEnd().ReportInfo(Record("a", "u"), ClickReport, "from-main", true);
    QCOMPARE(RequestsTo("error_report").size(), 0); // returned before sending

    // A worker thread without an event loop, as the task threads are.
    QThread* worker = QThread::create([]() {
        BackEnd().ReportInfo(Record("a", "u"), ClickReport, "from-worker", true);
        BackEnd().ReportInfo(Record("a", "u"), DownloadReport, "from-worker-sync", false);
    });
    worker->start();
    QTRY_VERIFY_WITH_TIMEOUT(worker->isFinished(), 10000);
    delete worker;

    QTRY_COMPARE_WITH_TIMEOUT(RequestsTo("error_report").size(), 3, 10000);
    QStringList messages;
    for (const NdTestRequest& request : RequestsTo("error_report"))
        messages << BodyOf(request).value("api_data").toObject().value("api_params").toString().section('=', -1);
    messages.sort();
    QCOMPARE(messages, (QStringList{"from-main", "from-worker", "from-worker-sync"}));
}

QTEST_GUILESS_MAIN(TestNdBackEndServer)
#include "TestNdBackEndServer.moc"
