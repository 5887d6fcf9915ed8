#pragma once

#include "INdDownloaderBackEnd.h"
#include "NdCore/NdDownloadTaskParam.h"

#include <QAtomicInt>
#include <QList>
#include <QMap>
#include <QMetaObject>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

#include "NdSamplePlatformProcess.h"
#include "NdTestEnv.h"

#include <QTemporaryDir>

class NdTaskItem;
class NdDownloadTask;
class NdDownloadTaskManager;

// The backend singleton.
NdDownloaderInterface::INdDownloaderBackEnd& NdBackEnd();

// One progress report as a row receives it.
struct NdRowReport_t
{
    float Size = 0.0f;
    int Percent = 0;
    int State = -1;
    QString Speed;
};

// Stands in for the rows of the task list: registers the engine's row connector for
// its lifetime and records, per row key, what the task threads send. The keys are
// fake row pointers, never dereferenced. Reports are received on this object's
// thread through queued connections, as a real row receives them.
class NdRowRecorder : public QObject
{
public:
    NdRowRecorder();
    ~NdRowRecorder() override;

    static NdTaskItem* RowKey(int n);

    QList<NdRowReport_t> Reports(NdTaskItem* row) const;
    QList<int> States(NdTaskItem* row) const;        // of the reports, in order
    NdRowReport_t LastReport(NdTaskItem* row) const; // State -1 when none came
    int StartCount(NdTaskItem* row) const;           // how often a run connected the row
    QString RenamedTo(NdTaskItem* row) const;        // the name the row was told to follow last; "" for none
    // True once every connection that a run made has been removed again.
    bool AllDisconnected() const;
    // Task objects of started runs that have been released.
    int DestroyedTasks() const { return Destroyed.loadAcquire(); }

private:
    std::vector<QMetaObject::Connection> Connect(NdDownloadTask* task, NdTaskItem* row);

    mutable QMutex Lock;
    QMap<NdTaskItem*, QList<NdRowReport_t>> Received;
    QMap<NdTaskItem*, int> Starts;
    QMap<NdTaskItem*, QString> Renamed;
    QList<QMetaObject::Connection> Connections;
    QAtomicInt Destroyed;
};

// A task record as the task list makes it: a working folder "~NdTemp/{uuid}" in
// the download folder.
DownloadTaskParam_t NdMakeTask(
    const QString& downloadDir, const QString& m3u8Url, const QString& name, float sizeMb, NdTaskItem* row);
// The records of the task store, and how many of them are in that state.
std::vector<DownloadTaskParam_t> NdStoredTasks();
int NdStoredIn(int state);
// The stored record with that working folder; VideoState -1 when there is none.
DownloadTaskParam_t NdStoredTask(const std::string& tempPath);
bool NdWaitStoredState(const std::string& tempPath, int state, int timeoutMs);
QString NdOutputPath(const DownloadTaskParam_t& task);
int NdSegmentFileCount(const std::string& tempPath);

// Media checks with the system's ffprobe / ffmpeg.
struct NdMediaInfo_t
{
    double Duration = 0.0; // seconds
    QStringList Codecs;    // "h264", "aac", in stream order
    QString Resolution;    // "320x240"
};
NdMediaInfo_t NdProbe(const QString& path);
QString NdDecodeErrors(const QString& path); // what "ffmpeg -v error ... -f null -" prints
// "MD5=<hex>" of the decoded frames (stream "v") or samples ("a"); "" when there are none.
QString NdDecodedMd5(const QString& path, const QString& stream);
// Sum of the #EXTINF durations of a media playlist text.
double NdPlaylistDuration(const QByteArray& playlist);

// The fixture of the whole-download tests: the sample platform for the whole
// test, and per case an empty task store and a fresh download folder.
class NdPlatformTestCase : public QObject
{
    Q_OBJECT
protected:
    static constexpr int kTransferTimeoutMs = 3000;
    // Retries wait 0.1, 0.2, 0.4 and 0.8 s: a request that always fails costs 1.5 s.
    static constexpr int kRetryDelayMs = 100;
    static constexpr int kTaskTimeoutMs = 30000;

    // Stored, then queued, as the task list does it.
    DownloadTaskParam_t Queue(NdDownloadTaskManager& scheduler, DownloadTaskParam_t task);
    // A task for one of the platform's lessons, shown by the row RowKey(row).
    DownloadTaskParam_t LessonTask(const QString& lessonPath, int row, const QString& downloadDir = QString()) const;
    // Such a task stored in that state, with its working folder, as an earlier run left it.
    DownloadTaskParam_t StoredLessonTask(const QString& lessonPath, int row, int state) const;
    // Waits for the task to be stored as finished; true when it is, with a whole video.
    bool EndsWhole(const DownloadTaskParam_t& task, const QString& lessonPath) const;
    // Outcome reports that reached the platform for this task with this message.
    int ReportCount(const DownloadTaskParam_t& task, const char* message) const;
    // Reports that reached the platform with these "api_params", as a click's event name.
    int ReportCount(const QString& params) const;
    // Seconds of media that the lesson's playlist lists.
    double SourceDuration(const QString& lessonPath) const;
    // True when the task's video lasts as long as the lesson's playlist says, within half a second;
    // asks the platform for that playlist.
    bool IsWhole(const DownloadTaskParam_t& task, const QString& lessonPath) const;
    // The address of segment number (from 1) of the lesson, without its switches.
    QString SegmentUrl(const QString& lessonPath, int number) const;
    // Requests to the platform whose path starts with prefix and ends with suffix.
    int PlatformRequests(const QString& prefix, const char* suffix) const;
    static int CountRequests(const QJsonArray& requests, const QString& prefix, const char* suffix);

    NdSamplePlatformProcess Platform;
    QTemporaryDir* Downloads = nullptr;

protected slots:
    void initTestCase();
    void init();
    void cleanup();
};
