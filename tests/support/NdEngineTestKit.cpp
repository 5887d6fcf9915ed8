#include "NdEngineTestKit.h"

#include "NdDownloadTaskManager.h"
#include "NdTestEnv.h"

#include "NdCore/NdCacheManager.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <QUuid>

#include <algorithm>

NdDownloaderInterface::INdDownloaderBackEnd& NdBackEnd()
{
    return *NdDownloaderInterface::INdDownloaderBackEnd::GetInstance();
}

NdRowRecorder::NdRowRecorder()
{
    NdDownloadTask::SetRowConnector(
        [this](NdDownloadTask* task, const DownloadTaskParam_t& record) { return Connect(task, record.TaskItem); });
}

NdRowRecorder::~NdRowRecorder()
{
    NdDownloadTask::SetRowConnector(nullptr);
}

NdTaskItem* NdRowRecorder::RowKey(int n)
{
    return reinterpret_cast<NdTaskItem*>(static_cast<quintptr>(0x1000 + n * 16));
}

NdRowConnections NdRowRecorder::Connect(NdDownloadTask* task, NdTaskItem* row)
{
    const NdRowConnections connections{connect(
                                           task, &NdDownloadTask::sigRefreshDownloadResult, this,
                                           [this, row](float size, int percent, int state, const QString& speed) {
                                               QMutexLocker lock(&Lock);
                                               Received[row].append({size, percent, state, speed});
                                           },
                                           Qt::QueuedConnection),
        connect(
            task, &NdDownloadTask::sigVideoRenamed, this,
            [this, row](const QString& name) {
                QMutexLocker lock(&Lock);
                Renamed[row] = name;
            },
            Qt::QueuedConnection)};
    // Tasks are released on the scheduler's thread.
    connect(
        task, &QObject::destroyed, this, [this] { Destroyed.ref(); }, Qt::DirectConnection);
    QMutexLocker lock(&Lock);
    ++Starts[row];
    Connections += QList<QMetaObject::Connection>(connections.begin(), connections.end());
    return connections;
}

QString NdRowRecorder::RenamedTo(NdTaskItem* row) const
{
    QMutexLocker lock(&Lock);
    return Renamed.value(row);
}

QList<NdRowReport_t> NdRowRecorder::Reports(NdTaskItem* row) const
{
    QMutexLocker lock(&Lock);
    return Received.value(row);
}

QList<int> NdRowRecorder::States(NdTaskItem* row) const
{
    QList<int> states;
    for (const NdRowReport_t& report : Reports(row))
        states.append(report.State);
    return states;
}

NdRowReport_t NdRowRecorder::LastReport(NdTaskItem* row) const
{
    const QList<NdRowReport_t> reports = Reports(row);
    return reports.isEmpty() ? NdRowReport_t() : reports.last();
}

int NdRowRecorder::StartCount(NdTaskItem* row) const
{
    QMutexLocker lock(&Lock);
    return Starts.value(row);
}

bool NdRowRecorder::AllDisconnected() const
{
    QMutexLocker lock(&Lock);
    for (const QMetaObject::Connection& connection : Connections) {
        if (connection)
            return false;
    }
    return true;
}

DownloadTaskParam_t NdMakeTask(
    const QString& downloadDir, const QString& m3u8Url, const QString& name, float sizeMb, NdTaskItem* row)
{
    DownloadTaskParam_t task;
    task.VideoM3U8Url = m3u8Url.toStdString();
    task.VideoName = name.toStdString();
    task.VideoFileSize = sizeMb;
    task.VideoDownloadPath = downloadDir.toStdString();
    task.VideoTempPath = (downloadDir + QStringLiteral("/~NdTemp/") + QUuid::createUuid().toString()).toStdString();
    task.TaskItem = row;
    return task;
}

std::vector<DownloadTaskParam_t> NdStoredTasks()
{
    std::vector<DownloadTaskParam_t> tasks;
    NdCacheManager::GetInstance()->GetDownloadTasks(tasks);
    return tasks;
}

int NdStoredIn(int state)
{
    const std::vector<DownloadTaskParam_t> tasks = NdStoredTasks();
    return int(
        std::count_if(tasks.begin(), tasks.end(), [state](const auto& task) { return task.VideoState == state; }));
}

DownloadTaskParam_t NdStoredTask(const std::string& tempPath)
{
    for (const DownloadTaskParam_t& task : NdStoredTasks()) {
        if (task.VideoTempPath == tempPath)
            return task;
    }
    DownloadTaskParam_t none;
    none.VideoState = -1;
    return none;
}

bool NdWaitStoredState(const std::string& tempPath, int state, int timeoutMs)
{
    return QTest::qWaitFor([&] { return NdStoredTask(tempPath).VideoState == state; }, timeoutMs);
}

QString NdOutputPath(const DownloadTaskParam_t& task)
{
    return QString::fromStdString(task.VideoDownloadPath + "/" + task.VideoName + ".mp4");
}

int NdSegmentFileCount(const std::string& tempPath)
{
    return QDir(QString::fromStdString(tempPath)).entryList({QStringLiteral("*.ts")}, QDir::Files).size();
}

namespace {
QByteArray RunTool(const QString& program, const QStringList& args, bool errorChannel)
{
    QProcess process;
    process.start(program, args);
    if (!process.waitForFinished(20000))
        return "<timeout>";
    return errorChannel ? process.readAllStandardError() : process.readAllStandardOutput();
}

} // namespace

NdMediaInfo_t NdProbe(const QString& path)
{
    const QByteArray out = RunTool(QStringLiteral("ffprobe"),
        {"-v", "error", "-print_format", "json", "-show_format", "-show_streams", path}, false);
    const QJsonObject json = QJsonDocument::fromJson(out).object();
    NdMediaInfo_t info;
    info.Duration = json.value("format").toObject().value("duration").toString().toDouble();
    for (const QJsonValue& value : json.value("streams").toArray()) {
        const QJsonObject stream = value.toObject();
        info.Codecs.append(stream.value("codec_name").toString());
        if (stream.value("codec_type").toString() == QLatin1String("video"))
            info.Resolution
                = QStringLiteral("%1x%2").arg(stream.value("width").toInt()).arg(stream.value("height").toInt());
    }
    return info;
}

QString NdDecodeErrors(const QString& path)
{
    return QString::fromUtf8(RunTool(QStringLiteral("ffmpeg"), {"-v", "error", "-i", path, "-f", "null", "-"}, true));
}

QString NdDecodedMd5(const QString& path, const QString& stream)
{
    const QByteArray out = RunTool(
        QStringLiteral("ffmpeg"), {"-v", "error", "-i", path, "-map", "0:" + stream, "-f", "md5", "-"}, false);
    const QString md5 = QString::fromUtf8(out).trimmed();
    return md5.startsWith(QLatin1String("MD5=")) ? md5 : QString();
}

double NdPlaylistDuration(const QByteArray& playlist)
{
    static const QRegularExpression extinf(QStringLiteral("#EXTINF:([0-9.]+)"));
    double seconds = 0.0;
    auto it = extinf.globalMatch(QString::fromUtf8(playlist));
    while (it.hasNext())
        seconds += it.next().captured(1).toDouble();
    return seconds;
}

void NdPlatformTestCase::initTestCase()
{
    NdTestInitEnvironment();
    NdDownloaderInterface::INdDownloaderBackEnd::GetInstance();
    QVERIFY2(Platform.Start(), qPrintable(Platform.ErrorString()));
    QVERIFY(Platform.ApplyDeploySettings(kTransferTimeoutMs, kRetryDelayMs));
}

void NdPlatformTestCase::init()
{
    // Each case starts with an empty task list, as a restart queues all it finds.
    NdCacheManager::GetInstance()->ClearDownloadTasks();
    QVERIFY(Platform.Reset());
    Downloads = new QTemporaryDir();
    QVERIFY(Downloads->isValid());
}

void NdPlatformTestCase::cleanup()
{
    NdDownloadTask::SetFreeBytesProbe(nullptr);
    delete Downloads;
    Downloads = nullptr;
}

DownloadTaskParam_t NdPlatformTestCase::Queue(NdDownloadTaskManager& scheduler, DownloadTaskParam_t task)
{
    NdCacheManager::GetInstance()->SaveOneDownloadTask(task);
    scheduler.AddTask(task);
    return task;
}

DownloadTaskParam_t NdPlatformTestCase::LessonTask(const QString& lessonPath, int row, const QString& downloadDir) const
{
    return NdMakeTask(downloadDir.isEmpty() ? Downloads->path() : downloadDir, Platform.LessonUrl(lessonPath),
        QStringLiteral("lesson %1").arg(row), 0.5f, NdRowRecorder::RowKey(row));
}

DownloadTaskParam_t NdPlatformTestCase::StoredLessonTask(const QString& lessonPath, int row, int state) const
{
    DownloadTaskParam_t task = LessonTask(lessonPath, row);
    task.VideoState = state;
    QDir().mkpath(QString::fromStdString(task.VideoTempPath));
    NdCacheManager::GetInstance()->SaveOneDownloadTask(task);
    return task;
}

int NdPlatformTestCase::ReportCount(const DownloadTaskParam_t& task, const char* message) const
{
    const QString params = QStringLiteral("m3u8_url=%1&video_name=%2&msg=%3")
                               .arg(QString::fromStdString(task.VideoM3U8Url), QString::fromStdString(task.VideoName),
                                   QLatin1String(message));
    return ReportCount(params);
}

int NdPlatformTestCase::ReportCount(const QString& params) const
{
    int count = 0;
    for (const QJsonValue& report : Platform.Reports()) {
        if (report.toObject().value("api_data").toObject().value("api_params").toString() == params)
            ++count;
    }
    return count;
}

double NdPlatformTestCase::SourceDuration(const QString& lessonPath) const
{
    return NdPlaylistDuration(Platform.Get(Platform.LessonUrl(lessonPath)).Body);
}

bool NdPlatformTestCase::IsWhole(const DownloadTaskParam_t& task, const QString& lessonPath) const
{
    return qAbs(NdProbe(NdOutputPath(task)).Duration - SourceDuration(lessonPath)) <= 0.5;
}

bool NdPlatformTestCase::EndsWhole(const DownloadTaskParam_t& task, const QString& lessonPath) const
{
    return NdWaitStoredState(task.VideoTempPath, Finished, kTaskTimeoutMs) && IsWhole(task, lessonPath);
}

QString NdPlatformTestCase::SegmentUrl(const QString& lessonPath, int number) const
{
    const QString lesson = lessonPath.section(QLatin1Char('/'), -1);
    return Platform.LessonUrl(lesson).replace(QStringLiteral("index.m3u8"), QStringLiteral("seg%1.ts").arg(number));
}

int NdPlatformTestCase::PlatformRequests(const QString& prefix, const char* suffix) const
{
    return CountRequests(Platform.Requests(), prefix, suffix);
}

int NdPlatformTestCase::CountRequests(const QJsonArray& requests, const QString& prefix, const char* suffix)
{
    int count = 0;
    for (const QJsonValue& request : requests) {
        const QString path = request.toObject().value("path").toString();
        count += path.startsWith(prefix) && path.endsWith(QLatin1String(suffix)) ? 1 : 0;
    }
    return count;
}
