// Checks what the sample platform promises beyond what the program's tests
// see of it: a lesson's announced size is its segments' bytes, the link's
// counters count, and reports and requests are kept. Its lessons, answers and
// fault switches are exercised by the program's own tests.

#include "NdSamplePlatformProcess.h"
#include "NdTestEnv.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>
#include <QtTest>

namespace {
QStringList UriLines(const QByteArray& text)
{
    QStringList uris;
    for (const QByteArray& line : text.split('\n')) {
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
    void lessonSizeMatchesItsSegments();
    void linkIsShapedAndCounted();
    void reportsAndRequestsAreRecorded();

private:
    NdSamplePlatformProcess Platform;
};

void TestNdSamplePlatform::initTestCase()
{
    NdTestInitEnvironment();
    QVERIFY2(Platform.Start(), qPrintable(Platform.ErrorString()));
}

void TestNdSamplePlatform::init()
{
    QVERIFY(Platform.Reset());
}

void TestNdSamplePlatform::lessonSizeMatchesItsSegments()
{
    const QString url = Platform.LessonUrl("plain");
    const auto playlist = Platform.Get(url);
    QCOMPARE(playlist.Status, 200);
    QVERIFY(playlist.Body.startsWith("#EXTM3U\n"));
    QVERIFY(playlist.Body.endsWith("#EXT-X-ENDLIST\n"));
    const QStringList uris = UriLines(playlist.Body);
    QCOMPARE(uris, QStringList({"seg1.ts", "seg2.ts", "seg3.ts", "seg4.ts"}));
    qint64 bytes = 0;
    for (const QString& uri : uris) {
        const auto segment = Platform.Get(Resolve(url, uri));
        QCOMPARE(segment.Status, 200);
        QCOMPARE(segment.Body.at(0), '\x47'); // transport-stream sync byte
        bytes += segment.Body.size();
    }
    const QJsonObject root = QJsonDocument::fromJson(Platform.QueryToken("plain").Body).object();
    const QJsonValue size = root["data"].toObject()["download_data"].toArray().first().toObject().value("size");
    QVERIFY(qAbs(SizeInMiB(size) - bytes / 1048576.0) < 0.001);
}

void TestNdSamplePlatform::linkIsShapedAndCounted()
{
    NdTestLinkShape shape;
    shape.FirstByteDelayMs = 300;
    QVERIFY(Platform.SetLink(shape));
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(Platform.Get(Platform.LessonUrl("plain")).Status, 200);
    QCOMPARE(Platform.Get(Platform.BaseUrl() + "/lessons/plain/seg1.ts").Status, 200);
    QVERIFY2(clock.elapsed() >= 2 * 300, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(Platform.QueryToken("plain").Status, 200);

    const QJsonObject link = Platform.Link();
    QCOMPARE(link.value("shape").toObject().value("firstByteDelayMs").toInt(), 300);
    // Each of these requests came on a connection of its own.
    QCOMPARE(link.value("lessonRequests").toInt(), 2);
    QCOMPARE(link.value("lessonConnections").toInt(), 2);
    QCOMPARE(link.value("lessonHandshakes").toInt(), 2);
    QCOMPARE(link.value("otherConnections").toInt(), 1);
    QVERIFY(link.value("acceptedConnections").toInt() >= 3);
    QCOMPARE(link.value("handshakes").toInt(), link.value("acceptedConnections").toInt());

    const QJsonArray requests = Platform.Requests();
    QCOMPARE(requests.size(), 3);
    QVERIFY(requests[0].toObject().value("connection").toInt() != requests[1].toObject().value("connection").toInt());
    QVERIFY(Platform.SetLink(NdTestLinkShape()));
    QCOMPARE(Platform.Link().value("acceptedConnections").toInt(), 1); // this very query
}

void TestNdSamplePlatform::reportsAndRequestsAreRecorded()
{
    const QByteArray report = R"({"report_type": 2, "api_data": {"api_params": "video_name=a&b"}})";
    QCOMPARE(Platform.Post("/error_report", report).Status, 200);
    QCOMPARE(Platform.Post("/error_report", "not json").Status, 200);
    const QJsonArray reports = Platform.Reports();
    QCOMPARE(reports.size(), 2);
    QCOMPARE(reports[0].toObject()["api_data"].toObject()["api_params"].toString(), QStringLiteral("video_name=a&b"));
    QCOMPARE(reports[1].toString(), QStringLiteral("not json"));

    Platform.Get(Platform.LessonUrl("plain") + "?x=1");
    const QJsonArray requests = Platform.Requests();
    QCOMPARE(requests.size(), 3); // the inspection paths themselves are left out
    QCOMPARE(requests[2].toObject()["method"].toString(), QStringLiteral("GET"));
    QCOMPARE(requests[2].toObject()["path"].toString(), QStringLiteral("/lessons/plain/index.m3u8"));
    QCOMPARE(requests[2].toObject()["query"].toString(), QStringLiteral("x=1"));

    QVERIFY(Platform.Reset());
    QVERIFY(Platform.Reports().isEmpty());
    QVERIFY(Platform.Requests().isEmpty());
}

QTEST_GUILESS_MAIN(TestNdSamplePlatform)
#include "TestNdSamplePlatform.moc"
