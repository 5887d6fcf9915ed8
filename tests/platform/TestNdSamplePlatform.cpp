// Checks the sample platform itself: the token answer, lessons as a client
// fetches them, the fault switches, reports and the deployment file.

#include "NdSamplePlatformProcess.h"
#include "NdTestEnv.h"

#include "NdCore/NdDeploySettings.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>
#include <QtTest>

namespace {
QList<QByteArray> PlaylistLines(const QByteArray& text)
{
    QList<QByteArray> lines;
    for (const QByteArray& line : text.split('\n'))
        lines += line.endsWith('\r') ? line.left(line.size() - 1) : line;
    return lines;
}

QStringList UriLines(const QByteArray& text)
{
    QStringList uris;
    for (const QByteArray& line : PlaylistLines(text)) {
        if (!line.isEmpty() && !line.startsWith('#'))
            uris += QString::fromUtf8(line);
    }
    return uris;
}

QString Resolve(const QString& playlistUrl, const QString& uri)
{
    return QUrl(playlistUrl).resolved(QUrl(uri)).toString();
}

double SizeInMiB(const QJsonValue& size)
{
    return size.isString() ? size.toString().toDouble() : size.toDouble();
}
} // namespace

class TestNdSamplePlatform : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void tokenAnswerListsEveryEntry();
    void tokenAnswerFailures();
    void lessonSizeMatchesItsSegments();
    void aesKeyIsRelativeToThePlaylist();
    void masterListsThreeVariants();
    void faultSwitches_data();
    void faultSwitches();
    void slowAndStallDelayDelivery();
    void linkIsShapedAndCounted();
    void redirectMovesTheLesson();
    void mixedUrisAllResolve();
    void reportsAndRequestsAreRecorded();
    void versionDocumentCanBeSet();
    void deployFilePointsAtThePlatform();

private:
    NdSamplePlatformProcess m_platform;
};

void TestNdSamplePlatform::initTestCase()
{
    NdTestInitEnvironment();
    QVERIFY2(m_platform.Start(), qPrintable(m_platform.ErrorString()));
}

void TestNdSamplePlatform::init()
{
    QVERIFY(m_platform.Reset());
}

void TestNdSamplePlatform::tokenAnswerListsEveryEntry()
{
    const auto reply = m_platform.QueryToken(QStringLiteral("plain, aes,slow/plain,long"));
    QCOMPARE(reply.Status, 200);
    const QJsonObject root = QJsonDocument::fromJson(reply.Body).object();
    QCOMPARE(root.value("code").toInt(-1), 0);
    const QJsonArray items = root.value("data").toObject().value("download_data").toArray();
    QCOMPARE(items.size(), 4);
    QCOMPARE(items[0].toObject().value("url").toString(), m_platform.LessonUrl("plain"));
    QCOMPARE(items[1].toObject().value("url").toString(), m_platform.LessonUrl("aes"));
    QCOMPARE(items[2].toObject().value("url").toString(), m_platform.LessonUrl("slow/plain"));
    QCOMPARE(items[0].toObject().value("file_name").toString(), QStringLiteral("第1课: 入门?"));
    QVERIFY(items[0].toObject().value("size").isString());
    QVERIFY(items[1].toObject().value("size").isDouble());
    QCOMPARE(items[2].toObject().value("duration").toInt(), 4);
    QCOMPARE(items[3].toObject().value("duration").toInt(), 12);
    QCOMPARE(UriLines(m_platform.Get(items[3].toObject().value("url").toString()).Body).size(), 12);
    const QJsonObject user = root.value("data").toObject().value("user_info").toObject();
    QVERIFY(!user.value("app_id").toString().isEmpty());
    QVERIFY(!user.value("user_id").toString().isEmpty());
}

void TestNdSamplePlatform::tokenAnswerFailures()
{
    for (const char* token : {"nosuchlesson", "plain,seg404/nosuch", "slow/", "plain,,aes"}) {
        const QJsonObject root = QJsonDocument::fromJson(m_platform.QueryToken(token).Body).object();
        QVERIFY2(root.value("code").toInt() == 1, token);
        QVERIFY(!root.value("msg").toString().isEmpty());
    }
    const QJsonObject wrong = QJsonDocument::fromJson(m_platform.QueryToken("wrong-shape").Body).object();
    const QJsonObject item = wrong["data"].toObject()["download_data"].toArray().first().toObject();
    QVERIFY(item.value("file_name").isObject());
    QVERIFY(item.value("size").isObject());

    const auto html = m_platform.QueryToken("not-json");
    QCOMPARE(html.Status, 200);
    QJsonParseError error;
    QJsonDocument::fromJson(html.Body, &error);
    QVERIFY(error.error != QJsonParseError::NoError);
}

void TestNdSamplePlatform::lessonSizeMatchesItsSegments()
{
    const QString url = m_platform.LessonUrl("plain");
    const auto playlist = m_platform.Get(url);
    QCOMPARE(playlist.Status, 200);
    QVERIFY(playlist.Body.startsWith("#EXTM3U\n"));
    QVERIFY(playlist.Body.endsWith("#EXT-X-ENDLIST\n"));
    const QStringList uris = UriLines(playlist.Body);
    QCOMPARE(uris, QStringList({"seg1.ts", "seg2.ts", "seg3.ts", "seg4.ts"}));
    qint64 bytes = 0;
    for (const QString& uri : uris) {
        const auto segment = m_platform.Get(Resolve(url, uri));
        QCOMPARE(segment.Status, 200);
        QCOMPARE(segment.Body.at(0), '\x47'); // transport-stream sync byte
        bytes += segment.Body.size();
    }
    const QJsonObject root = QJsonDocument::fromJson(m_platform.QueryToken("plain").Body).object();
    const QJsonValue size = root["data"].toObject()["download_data"].toArray().first().toObject().value("size");
    QVERIFY(qAbs(SizeInMiB(size) - bytes / 1048576.0) < 0.001);
}

void TestNdSamplePlatform::aesKeyIsRelativeToThePlaylist()
{
    const QString url = m_platform.LessonUrl("crlf/aes");
    const auto playlist = m_platform.Get(url);
    QCOMPARE(playlist.Status, 200);
    QVERIFY(playlist.Body.contains("#EXT-X-KEY:METHOD=AES-128,URI=\"key.bin\",IV=0x"));
    const auto key = m_platform.Get(Resolve(url, "key.bin"));
    QCOMPARE(key.Status, 200);
    QCOMPARE(key.Body.size(), 16);
}

void TestNdSamplePlatform::masterListsThreeVariants()
{
    const QString url = m_platform.LessonUrl("master");
    const auto master = m_platform.Get(url);
    QCOMPARE(master.Status, 200);
    const QList<QByteArray> lines = PlaylistLines(master.Body);
    QStringList resolutions;
    QList<int> bandwidths;
    for (const QByteArray& line : lines) {
        if (!line.startsWith("#EXT-X-STREAM-INF:"))
            continue;
        const QRegularExpressionMatch m
            = QRegularExpression("BANDWIDTH=(\\d+),RESOLUTION=(\\d+x\\d+)").match(QString::fromUtf8(line));
        QVERIFY(m.hasMatch());
        bandwidths += m.captured(1).toInt();
        resolutions += m.captured(2);
    }
    QCOMPARE(resolutions, QStringList({"160x120", "320x240", "256x144"}));
    QVERIFY(bandwidths[1] > bandwidths[0] && bandwidths[1] > bandwidths[2]);
    const QString variantUrl = Resolve(url, UriLines(master.Body).at(1));
    const auto variant = m_platform.Get(variantUrl);
    QCOMPARE(variant.Status, 200);
    QCOMPARE(m_platform.Get(Resolve(variantUrl, UriLines(variant.Body).first())).Status, 200);
}

void TestNdSamplePlatform::faultSwitches_data()
{
    QTest::addColumn<QString>("lessonPath");
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("complete");

    QTest::newRow("seg404 hits segment 2") << "seg404/plain"
                                           << "seg2.ts" << 404 << true;
    QTest::newRow("seg404 spares segment 1") << "seg404/plain"
                                             << "seg1.ts" << 200 << true;
    QTest::newRow("cut drops segment 2") << "cut/plain2"
                                         << "seg2.ts" << 200 << false;
    QTest::newRow("cut spares segment 3") << "cut/plain2"
                                          << "seg3.ts" << 200 << true;
    QTest::newRow("playlist500") << "playlist500/plain"
                                 << "index.m3u8" << 500 << true;
    QTest::newRow("playlist500 variant") << "playlist500/master"
                                         << "v320x240/index.m3u8" << 500 << true;
    QTest::newRow("composed seg404 fmp4") << "slow/seg404/fmp4"
                                          << "seg2.m4s" << 404 << true;
    QTest::newRow("fmp4 init") << "fmp4"
                               << "init.mp4" << 200 << true;
    QTest::newRow("unknown switch") << "bogus/plain"
                                    << "seg1.ts" << 404 << true;
    QTest::newRow("missing segment") << "plain"
                                     << "seg9.ts" << 404 << true;
}

void TestNdSamplePlatform::faultSwitches()
{
    QFETCH(QString, lessonPath);
    QFETCH(QString, file);
    QFETCH(int, status);
    QFETCH(bool, complete);

    const QString url = m_platform.BaseUrl() + "/lessons/" + lessonPath + "/" + file;
    const auto reply = m_platform.Get(url);
    QCOMPARE(reply.Status, status);
    QCOMPARE(reply.Error.isEmpty(), complete);
}

void TestNdSamplePlatform::slowAndStallDelayDelivery()
{
    QElapsedTimer clock;
    clock.start();
    const auto slow = m_platform.Get(m_platform.BaseUrl() + "/lessons/slow/plain/seg1.ts");
    QCOMPARE(slow.Status, 200);
    QVERIFY(slow.Error.isEmpty());
    QVERIFY2(clock.elapsed() >= 700, qPrintable(QString::number(clock.elapsed())));

    const auto stalled = m_platform.Get(m_platform.BaseUrl() + "/lessons/stall/plain/seg2.ts", 1500);
    QCOMPARE(stalled.Error, QStringLiteral("timed out"));
    QCOMPARE(m_platform.Get(m_platform.BaseUrl() + "/lessons/stall/plain/seg3.ts").Status, 200);
}

void TestNdSamplePlatform::linkIsShapedAndCounted()
{
    NdTestLinkShape shape;
    shape.firstByteDelayMs = 300;
    QVERIFY(m_platform.SetLink(shape));
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(m_platform.Get(m_platform.LessonUrl("plain")).Status, 200);
    QCOMPARE(m_platform.Get(m_platform.BaseUrl() + "/lessons/plain/seg1.ts").Status, 200);
    QVERIFY2(clock.elapsed() >= 2 * 300, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(m_platform.QueryToken("plain").Status, 200);

    const QJsonObject link = m_platform.Link();
    QCOMPARE(link.value("shape").toObject().value("firstByteDelayMs").toInt(), 300);
    // Each of these requests came on a connection of its own.
    QCOMPARE(link.value("lessonRequests").toInt(), 2);
    QCOMPARE(link.value("lessonConnections").toInt(), 2);
    QCOMPARE(link.value("lessonHandshakes").toInt(), 2);
    QCOMPARE(link.value("otherConnections").toInt(), 1);
    QVERIFY(link.value("acceptedConnections").toInt() >= 3);
    QCOMPARE(link.value("handshakes").toInt(), link.value("acceptedConnections").toInt());

    const QJsonArray requests = m_platform.Requests();
    QCOMPARE(requests.size(), 3);
    QVERIFY(requests[0].toObject().value("connection").toInt() != requests[1].toObject().value("connection").toInt());
    QVERIFY(m_platform.SetLink(NdTestLinkShape()));
    QCOMPARE(m_platform.Link().value("acceptedConnections").toInt(), 1); // this very query
}

void TestNdSamplePlatform::redirectMovesTheLesson()
{
    const QString url = m_platform.LessonUrl("redirect/nolf/plain");
    const auto redirect = m_platform.Get(url);
    QCOMPARE(redirect.Status, 302);
    const QString moved = QString::fromUtf8(redirect.Headers.value("location"));
    QCOMPARE(moved, m_platform.BaseUrl() + "/moved/nolf/plain/index.m3u8");
    QCOMPARE(m_platform.Get(Resolve(url, "seg1.ts")).Status, 404);

    const auto playlist = m_platform.Get(moved);
    QCOMPARE(playlist.Status, 200);
    QVERIFY(!playlist.Body.contains("#EXT-X-ENDLIST"));
    QVERIFY(playlist.Body.endsWith("seg4.ts"));
    QCOMPARE(m_platform.Get(Resolve(moved, "seg1.ts")).Status, 200);
}

void TestNdSamplePlatform::mixedUrisAllResolve()
{
    const QString url = m_platform.LessonUrl("crlf/mixed/plain3");
    const auto playlist = m_platform.Get(url);
    QCOMPARE(playlist.Status, 200);
    QVERIFY(playlist.Body.endsWith("#EXT-X-ENDLIST\r\n"));
    QCOMPARE(playlist.Body.count('\n'), playlist.Body.count("\r\n"));
    const QStringList uris = UriLines(playlist.Body);
    QCOMPARE(uris.size(), 4);
    QVERIFY(uris[0].startsWith(m_platform.BaseUrl() + "/lessons/crlf/mixed/plain3/"));
    QVERIFY(uris[1].startsWith("/lessons/crlf/mixed/plain3/"));
    QVERIFY(uris[2].startsWith("seg3.ts?"));
    for (const QString& uri : uris)
        QCOMPARE(m_platform.Get(Resolve(url, uri)).Status, 200);
}

void TestNdSamplePlatform::reportsAndRequestsAreRecorded()
{
    const QByteArray report = R"({"report_type": 2, "api_data": {"api_params": "video_name=a&b"}})";
    QCOMPARE(m_platform.Post("/error_report", report).Status, 200);
    QCOMPARE(m_platform.Post("/error_report", "not json").Status, 200);
    const QJsonArray reports = m_platform.Reports();
    QCOMPARE(reports.size(), 2);
    QCOMPARE(reports[0].toObject()["api_data"].toObject()["api_params"].toString(), QStringLiteral("video_name=a&b"));
    QCOMPARE(reports[1].toString(), QStringLiteral("not json"));

    m_platform.Get(m_platform.LessonUrl("plain") + "?x=1");
    const QJsonArray requests = m_platform.Requests();
    QCOMPARE(requests.size(), 3); // the inspection paths themselves are left out
    QCOMPARE(requests[2].toObject()["method"].toString(), QStringLiteral("GET"));
    QCOMPARE(requests[2].toObject()["path"].toString(), QStringLiteral("/lessons/plain/index.m3u8"));
    QCOMPARE(requests[2].toObject()["query"].toString(), QStringLiteral("x=1"));

    QVERIFY(m_platform.Reset());
    QVERIFY(m_platform.Reports().isEmpty());
    QVERIFY(m_platform.Requests().isEmpty());
}

void TestNdSamplePlatform::versionDocumentCanBeSet()
{
    const QString path = "/alive_b/alive_download/get_download_link/";
    QJsonObject data = QJsonDocument::fromJson(m_platform.Post(path, "{}").Body).object()["data"].toObject();
    QCOMPARE(data["version"].toString(), QStringLiteral("1.0.4"));
    QCOMPARE(data["must_update"].toInt(-1), 0);
    QCOMPARE(m_platform.Get(data["download_url"].toString()).Status, 200);

    QVERIFY(m_platform.SetVersion(R"({"code": 0, "data": {"version": "2.0.0", "must_update": 2}})"));
    data = QJsonDocument::fromJson(m_platform.Post(path, "{}").Body).object()["data"].toObject();
    QCOMPARE(data["version"].toString(), QStringLiteral("2.0.0"));
    QCOMPARE(data["must_update"].toInt(), 2);
}

void TestNdSamplePlatform::deployFilePointsAtThePlatform()
{
    QVERIFY(m_platform.ApplyDeploySettings(1500));
    const NdDeploySettings settings = NdDeploySettings::Get();
    const QString base = m_platform.BaseUrl() + "/";
    for (int env = 0; env < 3; ++env) {
        QCOMPARE(settings.AdminBaseUrl(env), base);
        QCOMPARE(settings.ReportBase(env), base);
    }
    QCOMPARE(settings.TransferTimeoutMs, 1500);
    QCOMPARE(settings.TrustedCertificates, QSslCertificate::fromPath(m_platform.CaCertPath()));
    QVERIFY(!settings.TrustedCertificates.isEmpty());
}

QTEST_GUILESS_MAIN(TestNdSamplePlatform)
#include "TestNdSamplePlatform.moc"
