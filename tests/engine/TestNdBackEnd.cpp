// The backend against a loopback TLS server: the playlist step (playlist text to
// segment addresses and a local playlist, the download through redirects and
// master playlists, with its keys), and the servers its queries and reports
// go to.
#include "NdCore/NdCacheManager.h"
#include "NdCore/NdDeploySettings.h"
#include "NdEngineTestKit.h"
#include "NdPlaylistFetch.h"
#include "NdPlaylistText.h"
#include "NdTestEnv.h"
#include "NdTestHttpServer.h"

#include <QDir>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QtTest>

namespace {
QStringList ToStringList(const std::vector<std::string>& entries)
{
    QStringList list;
    for (const std::string& entry : entries)
        list << QString::fromStdString(entry);
    return list;
}

} // namespace

class TestNdBackEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void parseText_data();
    void parseText();
    void localPlaylistName();
    void download_data();
    void download();
    void environmentPicksTheServers_data();
    void environmentPicksTheServers();

private:
    // A "}" in the download folder must not move files out of the task folder.
    QString TaskFolder() const
    {
        return Dir->path() + QStringLiteral("/odd}name/~NdTemp/{5d1c0000-0000-4000-8000-00000000000c}");
    }

    std::unique_ptr<QTemporaryDir> Dir;
    NdTestHttpServer Server{NdTestHttpServer::Tls};
};

void TestNdBackEnd::initTestCase()
{
    NdTestInitEnvironment();
    QVERIFY(NdTestCa::Instance().Ok && Server.Start());
    NdDeploySettings settings;
    settings.TransferTimeoutMs = 5000;
    settings.RetryDelayMs = 50;
    settings.TrustedCertificates = QSslCertificate::fromPath(NdTestCa::Instance().CaCertPath);
    NdDeploySettings::Set(settings);
    const QMap<QByteArray, QByteArray> texts{{"/v/index.m3u8", "#EXTM3U\n#EXTINF:2,\na.ts\n#EXT-X-ENDLIST\n"},
        {"/new/index.m3u8", "#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"key\"\n#EXTINF:2,\nseg1.ts\n"},
        {"/new/key", "0123456789abcdef"},
        {"/m/master.m3u8",
            "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=100,AVERAGE-BANDWIDTH=9000000\nlow/index.m3u8\n"
            "#EXT-X-STREAM-INF:PROGRAM-ID=1,BANDWIDTH=2000000,RESOLUTION=1280x720\r\n"
            "hi/index.m3u8?v=1\r\n#EXT-X-STREAM-INF:BANDWIDTH=2000000\n/elsewhere/index.m3u8\n"
            "#EXT-X-STREAM-INF:BANDWIDTH=800000\nmid/index.m3u8\n"},
        {"/m/hi/index.m3u8", "#EXTM3U\n#EXTINF:2,\nh1.ts\n#EXTINF:2,\nh2.ts\n#EXT-X-ENDLIST\n"}};
    for (auto it = texts.cbegin(); it != texts.cend(); ++it)
        Server.Route(it.key(), [text = it.value()](const NdTestRequest&) { return NdTestResponse::Text(text); });
    const QByteArray moved = (Server.BaseUrl() + "/new/index.m3u8").toUtf8();
    Server.Route("/old/index.m3u8", [moved](const NdTestRequest&) { return NdTestResponse::Redirect(moved); });
    Server.Route("/bad/500.m3u8", [](const NdTestRequest&) { return NdTestResponse::Text("#EXTM3U\ne.ts\n", 500); });
    Server.Route("/big/huge.m3u8", [](const NdTestRequest&) {
        return NdTestResponse::Text("#EXTM3U\n" + QByteArray("#EXTINF:2,\na.ts\n").repeated(1100000));
    });
    Server.Route("/big/many.m3u8",
        [](const NdTestRequest&) { return NdTestResponse::Text("#EXTM3U\n" + QByteArray("a.ts\n").repeated(200001)); });
}

void TestNdBackEnd::init()
{
    Dir = std::make_unique<QTemporaryDir>();
    QVERIFY(Dir->isValid() && QDir().mkpath(TaskFolder()));
}

void TestNdBackEnd::parseText_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("segments");
    QTest::addColumn<QString>("localPlaylist"); // "" when none is written
    const QString base = QStringLiteral("https://cdn.example.test/v/lesson/");
    const QByteArray encrypted = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-KEY:METHOD=AES-128,URI=\"key.bin\"\n"
                                 "#EXTINF:2.0,\nseg-a.ts\n#EXTINF:2.0,\nseg-b.ts\n#EXT-X-ENDLIST\n";
    const QString encryptedLocal = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-KEY:METHOD=AES-128,URI=\"KEY\"\n"
                                   "#EXTINF:2.0,\n1.ts\n#EXTINF:2.0,\n2.ts\n#EXT-X-ENDLIST\n";
    const QStringList segments{base + "seg-a.ts", base + "seg-b.ts"};
    QTest::newRow("worked example") << encrypted << segments << encryptedLocal;
    // What ffmpeg would misread: no header, a tag not at the line's start, a
    // segment without its duration; the local playlist ends at the end tag.
    QTest::newRow("no header, blank lines, end tag inside, no final line feed")
        << QByteArray(" #EXTINF:1.5,\na.ts\n \n\r\nb.ts\n#EXT-X-ENDLIST\nc.ts")
        << QStringList{base + "a.ts", base + "b.ts", base + "c.ts"}
        << QString("#EXTM3U\n#EXTINF:1.5,\n1.ts\n#EXTINF:0,\n2.ts\n#EXT-X-ENDLIST\n");
    // There the concat list is merged from.
    QTest::newRow("discontinuity") << QByteArray("#EXTM3U\n#EXTINF:2,\na.ts\n#EXT-X-DISCONTINUITY\n#EXTINF:2,\nb.ts\n")
                                   << QStringList{base + "a.ts", base + "b.ts"} << QString();
    QTest::newRow("relative, root-relative, absolute, query, spaces")
        << QByteArray("#EXTM3U\nhi/a.ts\n../b.ts\n/root/c.ts\nhttps://other.example.test/d.ts\ne.ts?tok=1&x=2\n"
                      "//cdn2.example.test/f.ts\nmy seg.ts\n")
        << QStringList{base + "hi/a.ts", "https://cdn.example.test/v/b.ts", "https://cdn.example.test/root/c.ts",
               "https://other.example.test/d.ts", base + "e.ts?tok=1&x=2", "https://cdn2.example.test/f.ts",
               base + "my%20seg.ts"}
        << QString("#EXTM3U\n#EXTINF:0,\n1.ts\n#EXTINF:0,\n2.ts\n#EXTINF:0,\n3.ts\n#EXTINF:0,\n4.ts\n#EXTINF:0,\n5.ts\n"
                   "#EXTINF:0,\n6.ts\n#EXTINF:0,\n7.ts\n#EXT-X-ENDLIST\n");
    // Byte ranges would fetch the whole file once per entry: nothing is taken.
    QTest::newRow("byte ranges") << QByteArray("#EXTM3U\n#EXT-X-BYTERANGE:100@0\na.ts\n") << QStringList() << QString();
}

void TestNdBackEnd::parseText()
{
    QFETCH(QByteArray, text);
    QFETCH(QStringList, segments);
    QFETCH(QString, localPlaylist);
    const NdPlaylistFacts_t facts
        = NdPlaylistText::Read(text.toStdString(), "https://cdn.example.test/v/lesson/index.m3u8?auth=abc");
    QCOMPARE(ToStringList(facts.Segments), segments);
    // Key lines name the key's file in the task folder.
    const QRegularExpression keyFile(QStringLiteral("filelist\\.key-[0-9a-f]{16}"));
    QCOMPARE(QString::fromUtf8(facts.LocalPlaylist).replace(keyFile, "KEY"), localPlaylist);
}

// The query goes; names the task folder uses for itself are kept apart.
void TestNdBackEnd::localPlaylistName()
{
    QCOMPARE(NdPlaylistText::LocalName("https://h.test/a/index.m3u8?s=1"), QStringLiteral("index.m3u8"));
    QCOMPARE(NdPlaylistText::LocalName("https://h.test/a/"), QStringLiteral("remote-"));
    QCOMPARE(NdPlaylistText::LocalName("https://h.test/filelist.m3u8"), QStringLiteral("remote-filelist.m3u8"));
    // Never a segment file's name, whole or partial.
    QCOMPARE(NdPlaylistText::LocalName("https://h.test/3.ts"), QStringLiteral("remote-3.ts"));
}

void TestNdBackEnd::download_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("finalPath"); // where relative entries are resolved; "" when the transfer fails
    QTest::addColumn<QStringList>("segments");
    QTest::addColumn<int>("keys"); // key files
    const QStringList hi{"/m/hi/h1.ts", "/m/hi/h2.ts"};
    QTest::newRow("query") << "/v/index.m3u8?t=1" << QStringLiteral("/v/index.m3u8?t=1") << QStringList{"/v/a.ts"} << 0;
    QTest::newRow("redirected, with a key")
        << "/old/index.m3u8" << QStringLiteral("/new/index.m3u8") << QStringList{"/new/seg1.ts"} << 1;
    QTest::newRow("master: first of the highest bandwidth")
        << "/m/master.m3u8" << QStringLiteral("/m/hi/index.m3u8?v=1") << hi << 0;
    QTest::newRow("master, asynchronously") << "/m/master.m3u8" << QStringLiteral("/m/hi/index.m3u8?v=1") << hi << 0;
    QTest::newRow("HTTP 500") << "/bad/500.m3u8" << QString() << QStringList() << 0;
    QTest::newRow("more than 16 MiB") << "/big/huge.m3u8" << QString() << QStringList() << 0;
    QTest::newRow("more than 200000 segments")
        << "/big/many.m3u8" << QStringLiteral("/big/many.m3u8") << QStringList() << 0;
}

void TestNdBackEnd::download()
{
    QFETCH(QString, path);
    QFETCH(QString, finalPath);
    QFETCH(QStringList, segments);
    QFETCH(int, keys);
    const bool async = QByteArray(QTest::currentDataTag()).contains("asynchronously");
    const std::string url = (Server.BaseUrl() + path).toStdString();
    const std::string folder = TaskFolder().toStdString();
    const QString local = NdPlaylistFetch::PlaylistPath(TaskFolder(), QString::fromStdString(url));
    // A playlist left by an earlier attempt must never pass for this one.
    QVERIFY(NdWriteFile(local, "#EXTM3U\nold.ts\n"));
    int completions = 0;
    long long lastTotal = -1;
    if (async) {
        NdBackEnd().DownloadM3U8File(url, folder, [&]() { ++completions; });
        QCOMPARE(completions, 0);
        QTRY_COMPARE_WITH_TIMEOUT(completions, 1, 10000);
    } else {
        NdBackEnd().DownloadM3U8FileSync(
            url, folder, [&]() { ++completions; }, [&](long long, long long total) { lastTotal = total; });
        QCOMPARE(completions, 1);
    }
    std::vector<std::string> found;
    if (finalPath.isEmpty()) {
        QVERIFY(!QFile::exists(local));
        QVERIFY(!NdBackEnd().M3U8Parse(folder, url, found));
        return;
    }
    // The media playlist's size, not the master's.
    QCOMPARE(lastTotal, async ? -1 : QFileInfo(local).size());
    QCOMPARE(QString::fromUtf8(NdReadFile(TaskFolder() + "/playlist.url")), Server.BaseUrl() + finalPath);
    QVERIFY(NdBackEnd().M3U8Parse(folder, url, found));
    for (QString& segment : segments)
        segment.prepend(Server.BaseUrl());
    QCOMPARE(ToStringList(found), segments);
    const QStringList keyFiles = QDir(TaskFolder()).entryList({"filelist.key-*"}, QDir::Files);
    QCOMPARE(keyFiles.size(), keys);
    if (keys > 0)
        QCOMPARE(NdReadFile(TaskFolder() + "/" + keyFiles.first()), QByteArray("0123456789abcdef"));
    // A resumed task parses the stored playlist again: nothing is fetched again.
    Server.ClearRequests();
    std::vector<std::string> resumed;
    QVERIFY(NdBackEnd().M3U8Parse(folder, url, resumed));
    QCOMPARE(resumed, found);
    QCOMPARE(Server.Requests().size(), 0);
}

void TestNdBackEnd::environmentPicksTheServers_data()
{
    QTest::addColumn<int>("environment");
    QTest::addColumn<QStringList>("requests"); // query, version check, report: "/<folder>/", "+id" with the app id
    QTest::newRow("production") << 0 << QStringList{"/prod/", "/prod/", "/report/"};
    QTest::newRow("unknown, as production") << 7 << QStringList{"/prod/", "/prod/", "/report/"};
    QTest::newRow("internal test") << 1 << QStringList{"/internal/+id", "/internal/+id", "/fallback/"};
    QTest::newRow("test") << 2 << QStringList{"/test/+id", "/test/+id", "/fallback/"};
}

// A test environment never reaches the production servers; only there does the app id go along.
void TestNdBackEnd::environmentPicksTheServers()
{
    QFETCH(int, environment);
    QFETCH(QStringList, requests);
    NdDeploySettings settings = NdDeploySettings::Get();
    const QString base = Server.BaseUrl();
    for (int i = 0; i < 3; ++i)
        settings.AdminBaseUrls[i] = base + QStringList{"/prod/", "/internal/", "/test/"}.at(i);
    settings.ReportBaseUrl = base + "/report/";
    settings.FallbackReportBaseUrl = base + "/fallback/";
    settings.AppId = "app-id-of-tests";
    NdDeploySettings::Set(settings);
    NdCacheManager::GetInstance()->SetBackEndEnvironment(environment);
    Server.ClearRequests();
    std::vector<DownloadTaskParam_t> tasks;
    QVERIFY(!NdBackEnd().GetDownloadTaskByToken("token", tasks)); // nothing answers there
    NdSoftVersion_t version;
    NdBackEnd().GetSoftVersion(version);
    NdBackEnd().ReportInfo(DownloadTaskParam_t(), DownloadReport, "pc_enter_client_mac", false);
    QStringList seen;
    for (const NdTestRequest& request : Server.Requests()) {
        seen << request.Path.left(request.Path.indexOf('/', 1) + 1)
                + (request.Body.contains("\"app-id-of-tests\"") ? "+id" : "");
    }
    QCOMPARE(seen, requests);
}

QTEST_GUILESS_MAIN(TestNdBackEnd)
#include "TestNdBackEnd.moc"
