#include "NdCore/NdDeploySettings.h"
#include "NdCore/NdLogManager.h"
#include "NdDownloaderBackEndImpl.h"
#include "NdTestEnv.h"
#include "NdTestHttpServer.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QNetworkAccessManager>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QtTest>

#include <string>
#include <vector>

namespace {
NdDownloaderBackEndImpl& BackEnd()
{
    return *static_cast<NdDownloaderBackEndImpl*>(NdDownloaderInterface::INdDownloaderBackEnd::GetInstance());
}

QStringList ToStringList(const std::vector<std::string>& entries)
{
    QStringList list;
    for (const std::string& entry : entries)
        list << QString::fromStdString(entry);
    return list;
}

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteAll(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QString LogText()
{
    QString text;
    const QDir logs(NdTestDataDir() + QStringLiteral("/logs"));
    for (const QString& name : logs.entryList(QDir::Files))
        text += QString::fromUtf8(ReadAll(logs.filePath(name)));
    return text;
}

const char* const kAddress = "https://cdn.example.test/v/lesson/index.m3u8";

// The key files of a local playlist as KEY1, KEY2, … in the order they first
// appear, so that a table can say which lines share a key.
QByteArray WithNumberedKeys(QByteArray text)
{
    static const QRegularExpression keyFile(QStringLiteral("filelist\\.key-[0-9a-f]{16}"));
    QStringList seen;
    QString result = QString::fromUtf8(text);
    for (QRegularExpressionMatch match = keyFile.match(result); match.hasMatch(); match = keyFile.match(result)) {
        if (!seen.contains(match.captured()))
            seen << match.captured();
        result.replace(match.capturedStart(), match.capturedLength(),
            QStringLiteral("KEY%1").arg(seen.indexOf(match.captured()) + 1));
    }
    return result.toUtf8();
}
} // namespace

class TestNdPlaylist : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void parseText_data();
    void parseText();
    void refusesUnsupportedPlaylists_data();
    void refusesUnsupportedPlaylists();
    void localPlaylistName_data();
    void localPlaylistName();
    void parseNeedsANonEmptyFile();
    void encryptedPlaylistStaysInItsOwnFolder();

    void downloadStoresPlaylistAndFinalAddress();
    void redirectedPlaylistResolvesAgainstFinalAddress();
    void masterPlaylistFollowsHighestBandwidth();
    void keyThatCannotBeHadFailsTheParse_data();
    void keyThatCannotBeHadFailsTheParse();
    void failedTransferLeavesNoPlaylist_data();
    void failedTransferLeavesNoPlaylist();
    void asyncDownloadCompletes();
    void segmentFetch_data();
    void segmentFetch();

private:
    QString TaskFolder() const { return m_dir->path() + QStringLiteral("/dl/~NdTemp/{task}"); }
    QString ServerUrl(const char* path) const { return m_server.BaseUrl() + QLatin1String(path); }

    std::unique_ptr<QTemporaryDir> m_dir;
    NdTestHttpServer m_server{NdTestHttpServer::Tls};
    QNetworkAccessManager m_keptManager; // lent to the rows that fire on a long-lived manager
};

void TestNdPlaylist::initTestCase()
{
    NdTestInitEnvironment();
    NdLogManager::Install();
    QVERIFY(NdTestCa::Instance().Ok);
    NdDeploySettings settings = NdDeploySettings::Get();
    settings.TrustedCertificates = QSslCertificate::fromPath(NdTestCa::Instance().CaCertPath);
    settings.TransferTimeoutMs = 5000;
    NdDeploySettings::Set(settings);
    QVERIFY(m_server.Start());
}

void TestNdPlaylist::cleanupTestCase()
{
    m_server.Stop();
    NdLogManager::UnInstall();
}

void TestNdPlaylist::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir().mkpath(TaskFolder()));
}

void TestNdPlaylist::parseText_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("address");
    QTest::addColumn<QStringList>("segments");
    QTest::addColumn<QByteArray>("localPlaylist"); // "" when none is written

    const QString base = QStringLiteral("https://cdn.example.test/v/lesson/");
    const QByteArray encrypted = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-KEY:METHOD=AES-128,URI=\"key.bin\"\n"
                                 "#EXTINF:2.0,\nseg-a.ts\n#EXTINF:2.0,\nseg-b.ts\n#EXT-X-ENDLIST\n";
    const QByteArray encryptedLocal = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-KEY:METHOD=AES-128,URI=\"KEY1\"\n"
                                      "#EXTINF:2.0,\n1.ts\n#EXTINF:2.0,\n2.ts\n#EXT-X-ENDLIST\n";
    const QStringList twoSegments{base + "seg-a.ts", base + "seg-b.ts"};

    QTest::newRow("worked example") << encrypted << kAddress << twoSegments << encryptedLocal;
    QByteArray crlf = encrypted;
    crlf.replace("\n", "\r\n");
    QTest::newRow("CRLF line ends") << crlf << kAddress << twoSegments << encryptedLocal;
    QTest::newRow("no final line feed keeps the last segment")
        << QByteArray("#EXTM3U\n#EXTINF:2,\na.ts\n#EXTINF:2,\nb.ts") << kAddress
        << QStringList{base + "a.ts", base + "b.ts"} << QByteArray();
    QTest::newRow("end tag without line feed") << QByteArray("#EXTM3U\n#EXTINF:2,\na.ts\n#EXT-X-ENDLIST") << kAddress
                                               << QStringList{base + "a.ts"} << QByteArray();
    QTest::newRow("empty and blank lines")
        << QByteArray("#EXTM3U\n\n#EXT-X-KEY:METHOD=AES-128,URI=\"/keys/k\"\n\n#EXTINF:2,\n\na.ts\n \n\r\nb.ts\n\n")
        << kAddress << QStringList{base + "a.ts", base + "b.ts"}
        << QByteArray("#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"KEY1\"\n#EXTINF:2,\n1.ts\n2.ts\n");
    QTest::newRow("comment lines are no segments") << QByteArray("#EXTM3U\n# made by the encoder\n#EXTINF:2,\na.ts\n")
                                                   << kAddress << QStringList{base + "a.ts"} << QByteArray();
    QTest::newRow("key after the first segment, rotated keys, one file per address")
        << QByteArray("#EXTM3U\n#EXTINF:2,\na.ts\n#EXT-X-KEY:METHOD=AES-128,URI=\"k1\",IV=0x01\n#EXTINF:2,\nb.ts\n"
                      "#EXT-X-KEY:METHOD=AES-128,URI=\"https://keys.example.test/k2?x=1\"\n#EXTINF:2,\nc.ts\n"
                      "#EXT-X-KEY:METHOD=AES-128,URI=\""
               + base.toUtf8() + "k1\"\n#EXTINF:2,\nd.ts\n")
        << kAddress << QStringList{base + "a.ts", base + "b.ts", base + "c.ts", base + "d.ts"}
        << QByteArray("#EXTM3U\n#EXTINF:2,\n1.ts\n#EXT-X-KEY:METHOD=AES-128,URI=\"KEY1\",IV=0x01\n"
                      "#EXTINF:2,\n2.ts\n#EXT-X-KEY:METHOD=AES-128,URI=\"KEY2\"\n#EXTINF:2,\n3.ts\n"
                      "#EXT-X-KEY:METHOD=AES-128,URI=\"KEY1\"\n#EXTINF:2,\n4.ts\n");
    QTest::newRow("lines after the end tag")
        << QByteArray("#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"k\"\n#EXTINF:2,\na.ts\n#EXT-X-ENDLIST\nlate.ts\n")
        << kAddress << QStringList{base + "a.ts", base + "late.ts"}
        << QByteArray("#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"KEY1\"\n#EXTINF:2,\n1.ts\n#EXT-X-ENDLIST\n");
    QTest::newRow("key address unquoted, given twice, inside another name")
        << QByteArray("#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=k1\n#EXTINF:2,\na.ts\n"
                      "#EXT-X-KEY:METHOD=AES-128,XURI=\"x\",URI=\"k1\",URI=\"k2\"\n#EXTINF:2,\nb.ts\n")
        << kAddress << QStringList{base + "a.ts", base + "b.ts"}
        << QByteArray("#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"KEY1\"\n#EXTINF:2,\n1.ts\n"
                      "#EXT-X-KEY:METHOD=AES-128,XURI=\"x\",URI=\"KEY1\",URI=\"KEY2\"\n#EXTINF:2,\n2.ts\n");
    QTest::newRow("other tags that name something to fetch are left out")
        << QByteArray(
               "#EXTM3U\n#EXT-X-MEDIA:TYPE=AUDIO,URI=\"https://x.example.test/alt.m3u8\"\n"
               "#EXT-X-KEY:METHOD=AES-128,URI=\"k\"\n#EXT-X-PRELOAD-HINT:TYPE=PART,URI=\"p.ts\"\n#EXTINF:2,\na.ts\n")
        << kAddress << QStringList{base + "a.ts"}
        << QByteArray("#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"KEY1\"\n#EXTINF:2,\n1.ts\n");
    QTest::newRow("relative, root-relative, absolute, query entries")
        << QByteArray("#EXTM3U\nhi/a.ts\n../b.ts\n/root/c.ts\nhttps://other.example.test/d.ts\ne.ts?tok=1&x=2\n"
                      "//cdn2.example.test/f.ts\n")
        << kAddress
        << QStringList{base + "hi/a.ts", "https://cdn.example.test/v/b.ts", "https://cdn.example.test/root/c.ts",
               "https://other.example.test/d.ts", base + "e.ts?tok=1&x=2", "https://cdn2.example.test/f.ts"}
        << QByteArray();
    QTest::newRow("address with a query")
        << QByteArray("#EXTM3U\na.ts\n") << QStringLiteral("https://cdn.example.test/v/index.m3u8?auth=abc")
        << QStringList{"https://cdn.example.test/v/a.ts"} << QByteArray();
    QTest::newRow("spaces in an entry are encoded")
        << QByteArray("#EXTM3U\nmy seg.ts\n") << kAddress << QStringList{base + "my%20seg.ts"} << QByteArray();
    QTest::newRow("text after a NUL byte is ignored")
        << QByteArray("#EXTM3U\na.ts\n\0b.ts\n", 19) << kAddress << QStringList{base + "a.ts"} << QByteArray();
    QTest::newRow("only tags") << QByteArray("#EXTM3U\n#EXT-X-ENDLIST\n") << kAddress << QStringList() << QByteArray();
}

void TestNdPlaylist::parseText()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, address);
    QFETCH(QStringList, segments);
    QFETCH(QByteArray, localPlaylist);

    // The text alone: the keys' addresses lie outside the loopback servers.
    const QString playlistPath = NdDownloaderBackEndImpl::LocalPlaylistPath(TaskFolder(), address);
    std::vector<std::string> found;
    BackEnd().M3U8StringFormat(playlistPath.toStdString(), text.toStdString(), address.toStdString(), found);
    QCOMPARE(ToStringList(found), segments);

    const QString localPath = TaskFolder() + QStringLiteral("/filelist.m3u8");
    QCOMPARE(QFile::exists(localPath), !localPlaylist.isEmpty());
    if (!localPlaylist.isEmpty())
        QCOMPARE(WithNumberedKeys(ReadAll(localPath)), localPlaylist);
}

void TestNdPlaylist::refusesUnsupportedPlaylists_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("tag");
    QTest::newRow("fragmented MP4") << QByteArray("#EXTM3U\n#EXT-X-MAP:URI=\"init.mp4\"\n#EXTINF:2,\na.m4s\n")
                                    << "#EXT-X-MAP";
    QTest::newRow("byte ranges") << QByteArray("#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"k\"\n#EXTINF:2,\n"
                                               "#EXT-X-BYTERANGE:1000@0\nall.ts\n")
                                 << "#EXT-X-BYTERANGE";
    QTest::newRow("master playlist") << QByteArray("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=1\nlow/index.m3u8\n")
                                     << "#EXT-X-STREAM-INF";
}

void TestNdPlaylist::refusesUnsupportedPlaylists()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, tag);

    WriteAll(NdDownloaderBackEndImpl::LocalPlaylistPath(TaskFolder(), kAddress), text);
    const int linesBefore = LogText().split(QLatin1Char('\n')).filter(tag).size();
    std::vector<std::string> found;
    QVERIFY(BackEnd().M3U8Parse(TaskFolder().toStdString(), kAddress, found));
    QVERIFY(found.empty());
    QVERIFY(!QFile::exists(TaskFolder() + QStringLiteral("/filelist.m3u8")));
    const QStringList lines = LogText().split(QLatin1Char('\n')).filter(tag);
    QCOMPARE(lines.size(), linesBefore + 1);
    QVERIFY2(lines.last().contains(QStringLiteral("[ERROR]")), qPrintable(lines.last()));
}

void TestNdPlaylist::localPlaylistName_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("name");
    QTest::newRow("plain") << "https://h.test/a/index.m3u8"
                           << "index.m3u8";
    QTest::newRow("query cut") << "https://h.test/a/index.m3u8?sign=1/2&t=3"
                               << "2&t=3";
    QTest::newRow("query cut after last slash") << "https://h.test/a/index.m3u8?sign=1"
                                                << "index.m3u8";
    QTest::newRow("component starts with ?") << "https://h.test/a/?id=5"
                                             << "?id=5";
    QTest::newRow("no slash") << "index.m3u8?x"
                              << "index.m3u8";
    QTest::newRow("empty component") << "https://h.test/a/"
                                     << "remote-";
    QTest::newRow("own file name") << "https://h.test/a/filelist.m3u8"
                                   << "remote-filelist.m3u8";
}

void TestNdPlaylist::localPlaylistName()
{
    QFETCH(QString, address);
    QFETCH(QString, name);
    QCOMPARE(NdDownloaderBackEndImpl::LocalPlaylistName(address), name);
}

void TestNdPlaylist::parseNeedsANonEmptyFile()
{
    std::vector<std::string> found;
    QVERIFY(!BackEnd().M3U8Parse(TaskFolder().toStdString(), kAddress, found));
    WriteAll(TaskFolder() + QStringLiteral("/index.m3u8"), QByteArray());
    QVERIFY(!BackEnd().M3U8Parse(TaskFolder().toStdString(), kAddress, found));
    QVERIFY(!BackEnd().M3U8Parse((TaskFolder() + "/missing").toStdString(), kAddress, found));
    QVERIFY(!BackEnd().M3U8Parse(TaskFolder().toStdString(), "", found));
    QVERIFY(found.empty());
}

void TestNdPlaylist::encryptedPlaylistStaysInItsOwnFolder()
{
    // A "}" in the download folder must not move the local playlist out of the task folder.
    const QString folder = m_dir->path() + QStringLiteral("/odd}name/~NdTemp/{task2}");
    QVERIFY(QDir().mkpath(folder));
    std::vector<std::string> found;
    BackEnd().M3U8StringFormat(
        (folder + "/index.m3u8").toStdString(), "#EXT-X-KEY:METHOD=AES-128,URI=\"k\"\na.ts\n", kAddress, found);
    QVERIFY(QFile::exists(folder + QStringLiteral("/filelist.m3u8")));
    QVERIFY(!QFile::exists(m_dir->path() + QStringLiteral("/odd}/filelist.m3u8")));
    QVERIFY(!BackEnd().SaveDrmM3U8File("", {"a.ts"}));
    QVERIFY(!BackEnd().SaveDrmM3U8File((folder + "/index.m3u8").toStdString(), {}));
}

void TestNdPlaylist::downloadStoresPlaylistAndFinalAddress()
{
    m_server.Route("/v/index.m3u8", [](const NdTestRequest&) {
        return NdTestResponse::Text(
            "#EXTM3U\n#EXTINF:2,\na.ts\n#EXT-X-ENDLIST\n", 200, "application/vnd.apple.mpegurl");
    });
    const std::string url = ServerUrl("/v/index.m3u8?token=1").toStdString();
    int completions = 0;
    long long lastTotal = -1;
    BackEnd().DownloadM3U8FileSync(
        url, TaskFolder().toStdString(), [&]() { ++completions; },
        [&](long long, long long total) { lastTotal = total; });
    QCOMPARE(completions, 1);
    QVERIFY(lastTotal > 0);
    QCOMPARE(ReadAll(TaskFolder() + "/index.m3u8"), QByteArray("#EXTM3U\n#EXTINF:2,\na.ts\n#EXT-X-ENDLIST\n"));
    QCOMPARE(QString::fromUtf8(ReadAll(TaskFolder() + "/playlist.url")), QString::fromStdString(url));
    std::vector<std::string> found;
    QVERIFY(BackEnd().M3U8Parse(TaskFolder().toStdString(), url, found));
    QCOMPARE(ToStringList(found), QStringList{ServerUrl("/v/a.ts")});
}

void TestNdPlaylist::redirectedPlaylistResolvesAgainstFinalAddress()
{
    m_server.Route("/old/index.m3u8",
        [this](const NdTestRequest&) { return NdTestResponse::Redirect(ServerUrl("/new/place/index.m3u8").toUtf8()); });
    m_server.Route("/new/place/index.m3u8", [](const NdTestRequest&) {
        return NdTestResponse::Text("#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"key\"\n#EXTINF:2,\nseg1.ts\n");
    });
    m_server.Route("/new/place/key", [](const NdTestRequest&) { return NdTestResponse::Text("0123456789abcdef"); });
    const std::string url = ServerUrl("/old/index.m3u8").toStdString();
    BackEnd().DownloadM3U8FileSync(url, TaskFolder().toStdString(), []() {}, {});
    std::vector<std::string> found;
    QVERIFY(BackEnd().M3U8Parse(TaskFolder().toStdString(), url, found));
    QCOMPARE(ToStringList(found), QStringList{ServerUrl("/new/place/seg1.ts")});
    QVERIFY(WithNumberedKeys(ReadAll(TaskFolder() + "/filelist.m3u8")).contains("URI=\"KEY1\""));
    const QStringList keys = QDir(TaskFolder()).entryList({"filelist.key-*"}, QDir::Files);
    QCOMPARE(keys.size(), 1);
    QCOMPARE(ReadAll(TaskFolder() + "/" + keys.first()), QByteArray("0123456789abcdef"));

    // A resumed task parses the stored playlist again, with no transfer in
    // between: neither the playlist nor the key is fetched again.
    m_server.ClearRequests();
    std::vector<std::string> resumed;
    QVERIFY(BackEnd().M3U8Parse(TaskFolder().toStdString(), url, resumed));
    QCOMPARE(resumed, found);
    QCOMPARE(m_server.Requests().size(), 0);
}

void TestNdPlaylist::masterPlaylistFollowsHighestBandwidth()
{
    m_server.Route("/m/master.m3u8", [](const NdTestRequest&) {
        return NdTestResponse::Text("#EXTM3U\n"
                                    "#EXT-X-STREAM-INF:BANDWIDTH=100,AVERAGE-BANDWIDTH=9000000\nlow/index.m3u8\n"
                                    "#EXT-X-STREAM-INF:PROGRAM-ID=1,BANDWIDTH=2000000,RESOLUTION=1280x720\r\n"
                                    "hi/index.m3u8?v=1\r\n"
                                    "#EXT-X-STREAM-INF:BANDWIDTH=2000000\n/elsewhere/index.m3u8\n"
                                    "#EXT-X-STREAM-INF:BANDWIDTH=800000\nmid/index.m3u8\n");
    });
    m_server.Route("/m/hi/index.m3u8", [](const NdTestRequest&) {
        return NdTestResponse::Text("#EXTM3U\n#EXTINF:2,\nh1.ts\n#EXTINF:2,\nh2.ts\n#EXT-X-ENDLIST\n");
    });
    const std::string url = ServerUrl("/m/master.m3u8").toStdString();
    long long lastTotal = -1;
    int completions = 0;
    BackEnd().DownloadM3U8FileSync(
        url, TaskFolder().toStdString(), [&]() { ++completions; },
        [&](long long, long long total) { lastTotal = total; });
    QCOMPARE(completions, 1);
    const QByteArray media = "#EXTM3U\n#EXTINF:2,\nh1.ts\n#EXTINF:2,\nh2.ts\n#EXT-X-ENDLIST\n";
    QCOMPARE(lastTotal, media.size());
    QCOMPARE(ReadAll(TaskFolder() + "/master.m3u8"), media);
    QCOMPARE(QString::fromUtf8(ReadAll(TaskFolder() + "/playlist.url")), ServerUrl("/m/hi/index.m3u8?v=1"));
    std::vector<std::string> found;
    QVERIFY(BackEnd().M3U8Parse(TaskFolder().toStdString(), url, found));
    QCOMPARE(ToStringList(found), (QStringList{ServerUrl("/m/hi/h1.ts"), ServerUrl("/m/hi/h2.ts")}));
}

void TestNdPlaylist::keyThatCannotBeHadFailsTheParse_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("key");
    QTest::newRow("not found") << 404 << QByteArray("missing");
    QTest::newRow("15 bytes") << 200 << QByteArray(15, 'k');
    QTest::newRow("17 bytes") << 200 << QByteArray(17, 'k');
}

void TestNdPlaylist::keyThatCannotBeHadFailsTheParse()
{
    QFETCH(int, status);
    QFETCH(QByteArray, key);
    m_server.Route("/k/key.bin", [=](const NdTestRequest&) { return NdTestResponse::Text(key, status); });
    const QString url = ServerUrl("/k/index.m3u8");
    WriteAll(TaskFolder() + "/index.m3u8", "#EXTM3U\n#EXT-X-KEY:METHOD=AES-128,URI=\"key.bin?sig=SECRET\"\na.ts\n");
    std::vector<std::string> found;
    QVERIFY(BackEnd().M3U8Parse(TaskFolder().toStdString(), url.toStdString(), found));
    QVERIFY(found.empty());
    QVERIFY(QDir(TaskFolder()).entryList({"filelist.key*"}).isEmpty());
    const QStringList lines = LogText().split(QLatin1Char('\n')).filter(QStringLiteral("Cannot fetch the AES key"));
    QVERIFY(!lines.isEmpty());
    QVERIFY2(lines.last().contains(ServerUrl("/k/key.bin:")), qPrintable(lines.last()));
    QVERIFY(!LogText().contains(QStringLiteral("SECRET")));
}

void TestNdPlaylist::failedTransferLeavesNoPlaylist_data()
{
    QTest::addColumn<int>("fault");
    QTest::newRow("HTTP 500") << 0;
    QTest::newRow("connection cut") << 1;
    QTest::newRow("variant missing") << 2;
}

void TestNdPlaylist::failedTransferLeavesNoPlaylist()
{
    QFETCH(int, fault);
    m_server.Route("/bad/index.m3u8", [fault](const NdTestRequest&) {
        if (fault == 0)
            return NdTestResponse::Text("#EXTM3U\nerror-page.ts\n", 500);
        if (fault == 1) {
            NdTestResponse cut = NdTestResponse::Text("#EXTM3U\n#EXTINF:2,\na.ts\n#EXTINF:2,\nb.ts\n");
            cut.dropAfterBytes = 20;
            return cut;
        }
        return NdTestResponse::Text("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=5\nnowhere/index.m3u8\n");
    });
    // A playlist left by an earlier attempt must go as well.
    WriteAll(TaskFolder() + "/index.m3u8", "#EXTM3U\nold.ts\n");
    int completions = 0;
    const std::string url = ServerUrl("/bad/index.m3u8").toStdString();
    BackEnd().DownloadM3U8FileSync(url, TaskFolder().toStdString(), [&]() { ++completions; }, {});
    QCOMPARE(completions, 1);
    QVERIFY(!QFile::exists(TaskFolder() + "/index.m3u8"));
    std::vector<std::string> found;
    QVERIFY(!BackEnd().M3U8Parse(TaskFolder().toStdString(), url, found));
    QVERIFY(found.empty());
}

void TestNdPlaylist::asyncDownloadCompletes()
{
    m_server.Route("/a/master.m3u8", [](const NdTestRequest&) {
        return NdTestResponse::Text("#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=5\nv/index.m3u8\n");
    });
    m_server.Route("/a/v/index.m3u8", [](const NdTestRequest&) { return NdTestResponse::Text("#EXTM3U\ns.ts\n"); });
    int completions = 0;
    const std::string url = ServerUrl("/a/master.m3u8").toStdString();
    BackEnd().DownloadM3U8File(url, TaskFolder().toStdString(), [&]() { ++completions; });
    QCOMPARE(completions, 0);
    QTRY_COMPARE_WITH_TIMEOUT(completions, 1, 10000);
    std::vector<std::string> found;
    QVERIFY(BackEnd().M3U8Parse(TaskFolder().toStdString(), url, found));
    QCOMPARE(ToStringList(found), QStringList{ServerUrl("/a/v/s.ts")});

    // A folder that does not exist: nothing is sent and no callback runs.
    BackEnd().DownloadM3U8File(url, (TaskFolder() + "/missing").toStdString(), [&]() { ++completions; });
    QTest::qWait(200);
    QCOMPARE(completions, 1);
}

void TestNdPlaylist::segmentFetch_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<qint64>("dropAfter");
    QTest::addColumn<bool>("withProgress");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<int>("failCode"); // 0: the transfer succeeds
    QTest::addColumn<bool>("keptManager");
    QTest::newRow("success, no progress callback") << 200 << qint64(-1) << false << "1.ts" << 0 << false;
    QTest::newRow("success with progress") << 200 << qint64(-1) << true << "2.ts" << 0 << false;
    QTest::newRow("not found") << 404 << qint64(-1) << true << "3.ts" << 203 << false;
    QTest::newRow("connection cut") << 200 << qint64(1000) << false << "4.ts" << -2 << false;
    QTest::newRow("file cannot be created") << 200 << qint64(-1) << false << "missing/5.ts" << -1 << false;
    // One manager through all of these, as a segment worker keeps it: every outcome
    // stays the same, and a cut connection does not spoil the next segment.
    QTest::newRow("kept manager: success") << 200 << qint64(-1) << true << "6.ts" << 0 << true;
    QTest::newRow("kept manager: not found") << 404 << qint64(-1) << false << "7.ts" << 203 << true;
    QTest::newRow("kept manager: connection cut") << 200 << qint64(1000) << false << "8.ts" << -2 << true;
    QTest::newRow("kept manager: file cannot be created") << 200 << qint64(-1) << false << "missing/9.ts" << -1 << true;
    QTest::newRow("kept manager: success again") << 200 << qint64(-1) << false << "10.ts" << 0 << true;
}

void TestNdPlaylist::segmentFetch()
{
    QFETCH(int, status);
    QFETCH(qint64, dropAfter);
    QFETCH(bool, withProgress);
    QFETCH(QString, fileName);
    QFETCH(int, failCode);
    QFETCH(bool, keptManager);
    const QByteArray body(64 * 1024, 'S');
    m_server.Route("/seg/a.ts", [=](const NdTestRequest&) {
        NdTestResponse response = NdTestResponse::Text(body, status, "video/mp2t");
        response.dropAfterBytes = dropAfter;
        return response;
    });
    const QString path = TaskFolder() + "/" + fileName;
    if (failCode != -1)
        WriteAll(path, QByteArray(100 * 1024, 'o')); // an older, longer file

    int successes = 0;
    int failures = 0;
    int code = 0;
    QString error;
    long long lastReceived = 0;
    NdDownloaderInterface::INdDownloaderBackEnd::ProgressFn progress;
    if (withProgress)
        progress = [&](long long received, long long) { lastReceived = received; };
    BackEnd().DownloadTsFile(
        ServerUrl("/seg/a.ts").toStdString(), path.toStdString(), [&](const QString&) { ++successes; },
        [&](const QString& text, int errorCode) {
            ++failures;
            code = errorCode;
            error = text;
        },
        progress, keptManager ? &m_keptManager : nullptr);

    if (failCode == 0) {
        QCOMPARE(successes, 1);
        QCOMPARE(failures, 0);
        QCOMPARE(ReadAll(path), body);
        if (withProgress)
            QCOMPARE(lastReceived, body.size());
        return;
    }
    QCOMPARE(successes, 0);
    QCOMPARE(failures, 1);
    if (failCode == -1)
        QCOMPARE(error, QStringLiteral("Failed to open file: ") + path);
    if (failCode != -2)
        QCOMPARE(code, failCode);
    else
        QVERIFY(code > 0);
}

QTEST_GUILESS_MAIN(TestNdPlaylist)
#include "TestNdPlaylist.moc"
