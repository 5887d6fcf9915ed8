#include "NdCore/NdCacheManager.h"
#include "NdCore/NdLogManager.h"
#include "NdDownloaderBackEndImpl.h"
#include "NdEngineTestKit.h"
#include "NdSamplePlatformProcess.h"
#include "NdTestEnv.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <string>
#include <vector>

// The backend's steps in the pipeline's order, against the sample platform's
// lessons: token query, playlist, segments, merge with the real ffmpeg, move.
namespace {
NdDownloaderBackEndImpl& BackEnd()
{
    return *static_cast<NdDownloaderBackEndImpl*>(NdDownloaderInterface::INdDownloaderBackEnd::GetInstance());
}

std::string Utf8(const QString& text)
{
    return text.toUtf8().toStdString();
}

} // namespace

class TestNdBackEndLessons : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void lessonBecomesVideo_data();
    void lessonBecomesVideo();
    void fragmentedMp4IsRefused();
    void failingPlaylistGivesNoSegments();
    void failingSegmentReportsFailure();
    void outcomeReportReachesThePlatform();

private:
    DownloadTaskParam_t TaskFor(const QString& token);
    std::vector<std::string> FetchPlaylist(const DownloadTaskParam_t& task, bool* parsed);
    QString TaskFolder() const { return m_dir->path() + QStringLiteral("/Lessons/~NdTemp/{lesson}"); }

    NdSamplePlatformProcess m_platform;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestNdBackEndLessons::initTestCase()
{
    NdTestInitEnvironment();
    NdLogManager::Install();
    QVERIFY2(m_platform.Start(), qPrintable(m_platform.ErrorString()));
    QVERIFY(m_platform.ApplyDeploySettings(10000));
    NdCacheManager::GetInstance()->SetBackEndEnvironment(Production);
}

void TestNdBackEndLessons::cleanupTestCase()
{
    NdLogManager::UnInstall();
}

void TestNdBackEndLessons::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir().mkpath(TaskFolder()));
    QVERIFY(m_platform.Reset());
}

DownloadTaskParam_t TestNdBackEndLessons::TaskFor(const QString& token)
{
    std::vector<DownloadTaskParam_t> tasks;
    if (!BackEnd().GetDownloadTaskByToken(Utf8(token), tasks) || tasks.size() != 1)
        return DownloadTaskParam_t();
    DownloadTaskParam_t task = tasks.front();
    task.VideoTempPath = Utf8(TaskFolder());
    task.VideoDownloadPath = Utf8(m_dir->path() + QStringLiteral("/Lessons"));
    return task;
}

std::vector<std::string> TestNdBackEndLessons::FetchPlaylist(const DownloadTaskParam_t& task, bool* parsed)
{
    long long announced = 0;
    BackEnd().DownloadM3U8FileSync(
        task.VideoM3U8Url, task.VideoTempPath, []() {}, [&](long long, long long total) { announced = total; });
    std::vector<std::string> segments;
    *parsed = BackEnd().M3U8Parse(task.VideoTempPath, task.VideoM3U8Url, segments);
    if (*parsed && announced <= 0)
        *parsed = false;
    return segments;
}

void TestNdBackEndLessons::lessonBecomesVideo_data()
{
    QTest::addColumn<QString>("token");
    QTest::addColumn<QString>("name");
    QTest::newRow("plain") << "plain" << QStringLiteral("第1课 入门");
    QTest::newRow("size as number") << "plain2" << QStringLiteral("Lesson 2 - Tom's notes & more");
    QTest::newRow("encrypted") << "aes" << QStringLiteral("加密课程 AES-128");
    QTest::newRow("master playlist") << "master" << QStringLiteral("多码率 Master 3 variants>");
    QTest::newRow("CRLF, no final line feed, mixed addresses")
        << "crlf/nolf/mixed/plain3" << QStringLiteral("第3课 复习 (100% done=yes) *");
    QTest::newRow("redirected encrypted") << "redirect/mixed/aes" << QStringLiteral("加密课程 AES-128");
}

void TestNdBackEndLessons::lessonBecomesVideo()
{
    QFETCH(QString, token);
    QFETCH(QString, name);
    const DownloadTaskParam_t task = TaskFor(token);
    QCOMPARE(QString::fromStdString(task.VideoName), name);
    QVERIFY(task.VideoFileSize > 0.0f);

    bool parsed = false;
    const std::vector<std::string> segments = FetchPlaylist(task, &parsed);
    QVERIFY(parsed);
    QVERIFY(!segments.empty());
    // As one segment worker fetches them: one manager, one connection for all.
    QNetworkAccessManager manager;
    for (size_t i = 0; i < segments.size(); ++i) {
        bool ok = false;
        const QString path = TaskFolder() + QStringLiteral("/%1.ts").arg(i + 1);
        BackEnd().DownloadTsFile(
            segments[i], Utf8(path), [&](const QString&) { ok = true; }, [](const QString&, int) {}, {}, &manager);
        QVERIFY2(ok, segments[i].c_str());
    }
    QSet<int> segmentConnections;
    for (const QJsonValue& request : m_platform.Requests()) {
        if (request.toObject().value("path").toString().endsWith(QLatin1String(".ts")))
            segmentConnections.insert(request.toObject().value("connection").toInt());
    }
    QCOMPARE(segmentConnections.size(), 1);

    QVERIFY(BackEnd().CreateFileList(task.VideoTempPath));
    QVERIFY(BackEnd().TranscodingVideo(Utf8(TaskFolder() + "/filelist.txt"), Utf8(TaskFolder() + "/NdTemp.mp4")));
    const QString destination = QString::fromStdString(task.VideoDownloadPath + "/" + task.VideoName + ".mp4");
    QVERIFY(BackEnd().MoveVideo(Utf8(TaskFolder() + "/NdTemp.mp4"), Utf8(destination)));
    const double seconds = NdProbe(destination).Duration;
    QVERIFY2(qAbs(seconds - 4.0) < 0.5, qPrintable(QString::number(seconds)));
}

void TestNdBackEndLessons::fragmentedMp4IsRefused()
{
    const DownloadTaskParam_t task = TaskFor("fmp4");
    QVERIFY(!task.VideoM3U8Url.empty());
    bool parsed = false;
    QVERIFY(FetchPlaylist(task, &parsed).empty());
    QVERIFY(!QFile::exists(TaskFolder() + "/filelist.m3u8"));
}

void TestNdBackEndLessons::failingPlaylistGivesNoSegments()
{
    const DownloadTaskParam_t task = TaskFor("playlist500/plain");
    QVERIFY(!task.VideoM3U8Url.empty());
    bool parsed = true;
    QVERIFY(FetchPlaylist(task, &parsed).empty());
    QVERIFY(!parsed);
    QCOMPARE(QDir(TaskFolder()).entryList(QDir::Files), QStringList());
}

void TestNdBackEndLessons::failingSegmentReportsFailure()
{
    const DownloadTaskParam_t task = TaskFor("seg404/plain");
    bool parsed = false;
    const std::vector<std::string> segments = FetchPlaylist(task, &parsed);
    QVERIFY(parsed);
    int failures = 0;
    int successes = 0;
    for (size_t i = 0; i < segments.size(); ++i) {
        BackEnd().DownloadTsFile(
            segments[i], Utf8(TaskFolder() + QStringLiteral("/%1.ts").arg(i + 1)), [&](const QString&) { ++successes; },
            [&](const QString&, int) { ++failures; }, {}, nullptr);
    }
    QVERIFY(failures >= 1);
    QCOMPARE(successes + failures, int(segments.size()));
}

void TestNdBackEndLessons::outcomeReportReachesThePlatform()
{
    const DownloadTaskParam_t task = TaskFor("plain");
    BackEnd().ReportInfo(task, DownloadReport, "download_success", false);
    const QJsonArray reports = m_platform.Reports();
    QCOMPARE(reports.size(), 1);
    const QJsonObject api = reports.first().toObject().value("api_data").toObject();
    QCOMPARE(api.value("api_url").toString(), QStringLiteral("download_type"));
    QVERIFY(api.value("api_params").toString().endsWith(QStringLiteral("&msg=download_success")));
    const QJsonObject common = reports.first().toObject().value("common_data").toObject();
    QCOMPARE(common.value("app_id").toString(), QString::fromStdString(task.AppId));
}

QTEST_GUILESS_MAIN(TestNdBackEndLessons)
#include "TestNdBackEndLessons.moc"
