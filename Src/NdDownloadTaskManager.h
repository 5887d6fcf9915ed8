#pragma once

#include "NdTaskQueue.h"

#include "NdCore/NdDownloadTaskParam.h"
#include "NdCore/NdStopScope.h"

#include <QElapsedTimer>
#include <QMetaObject>
#include <QMutex>
#include <QSemaphore>
#include <QString>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class NdTaskItem;
class NdDownloadTask;

// Segments of one task in flight at a time; the figures are reported after as
// many have ended, and at least once a second.
constexpr int kNdSegmentsInFlight = 5;
constexpr int kNdReportEveryMs = 1000;
// Free space a task of unknown size asks for while its segments arrive.
constexpr double kNdUnknownSizeFreeMarginMb = 64.0;

// The rules of a task's run, kept free of threads and files so they can be checked alone.

// "292KB/S", "900B/S", "5MB/S": bytes per second, truncated, in the largest unit
// that keeps the number above 1023 bytes. A span that measured 0 ms counts as 1 ms.
QString NdSpeedText(qint64 bytes, qint64 elapsedMs);
// A download folder inside a volume mounted under /Volumes, cut to the mount
// point: the path before its first "/" at or after index 9.
QString NdVolumeMountPath(const QString& downloadPath);
// The folder whose disk is measured for free space: the /Volumes mount point on
// macOS, the download folder itself elsewhere.
QString NdDiskCheckPath(const QString& downloadPath);
// Whether the figures are due: after kNdSegmentsInFlight segments have ended
// since the last report, or after a second in which at least one has.
bool NdFiguresDue(int endedSinceReport, qint64 msSinceReport);
// True when the free space does not leave three times the megabytes still missing;
// a task of unknown size (fileSizeMb 0) only asks for a fixed margin. A negative
// freeBytes (volume not measurable) never stops a task.
bool NdDiskTooFull(qint64 freeBytes, float fileSizeMb, float downloadedMb);
// Downloaded megabytes shown and stored: capped at the expected size when that is
// known, and never 0 once a segment has arrived, so that a restart resumes.
float NdDownloadedMegabytes(double megabytes, float fileSizeMb);

// One of a task's places in flight: a thread that lives for the task's whole
// run and downloads one segment at a time, synchronously, through the backend
// and a network manager of its own, so that its connection and TLS session
// carry over from segment to segment.
class NdDownloadOneTsFile : public QThread
{
    Q_OBJECT
public:
    // shouldStop: the task's own check; a segment in progress ends soon after
    // it says stop, leaving no file. ended is released once for every segment
    // that ends.
    NdDownloadOneTsFile(NdStopScope::CheckFn shouldStop, QSemaphore* ended);
    // Lets the segment in progress end, then ends the thread and waits for it.
    ~NdDownloadOneTsFile() override;

    // Hands the worker its next segment, starting the thread on first use. Only
    // while no segment of this worker is in progress.
    void Download(std::string tsUrl, std::string filePath);
    // True while a segment handed over has not ended.
    bool IsBusy() const;
    // Whether the last segment arrived; read once it has ended. False before any.
    bool GetDownloadStatus() const;
    // Whether the last segment that did not arrive failed for a transient
    // reason alone, its retries spent.
    bool FailedByNetwork() const;

protected:
    void run() override;

private:
    bool TakeSegment(std::string& tsUrl, std::string& filePath);
    void EndSegment(bool downloaded, bool byNetwork);

    const NdStopScope::CheckFn ShouldStop;
    QSemaphore* const Ended;
    mutable QMutex Lock; // guards everything below
    QWaitCondition Changed;
    std::string TsUrl;
    std::string FilePath;
    bool Pending = false; // handed over, not yet taken by the thread
    bool Busy = false;    // handed over, not yet ended
    bool Quitting = false;
    bool DownloadStatus = false;
    bool ByNetwork = false;
};

// Connects a task's sigRefreshDownloadResult and sigVideoRenamed to whatever
// shows the task (its record: the task's identity, and its row while one shows
// it). The UI registers one; with none registered nothing is connected.
// It runs on the task's thread; what it connects to may only go away after
// NdDownloadTaskManager::RemoveTask has returned for the task.
using NdRowConnections = std::vector<QMetaObject::Connection>;
using NdRowConnector = std::function<NdRowConnections(NdDownloadTask*, const DownloadTaskParam_t&)>;
// Free bytes of the volume holding a path; negative when it cannot be measured.
using NdFreeBytesProbe = std::function<qint64(const QString& path)>;

// The thread that carries one task from its playlist to the finished .mp4.
class NdDownloadTask : public QThread
{
    Q_OBJECT
public:
    NdDownloadTask();
    ~NdDownloadTask() override;

    void SetDownloadParam(const DownloadTaskParam_t& param);
    void DoWork(const DownloadTaskParam_t& param);
    DownloadTaskParam_t GetDownloadParam() const;
    // The state is written by the scheduler (pause) while the thread runs.
    void SetDownloadState(int state);

    // The task was deleted by the user: from now on the thread writes nothing,
    // stores nothing, reports nothing and signals no row; it stops at its next step.
    void MarkDeleted();
    // The scheduler goes away: the thread stops at its next step without signalling
    // rows and leaves the store so that the next start resumes the task.
    void MarkAbandoned();
    // After the thread has ended: true, with the task's record, when its run
    // failed because of the network alone; the scheduler may start it again.
    bool TakeNetworkFailure(DownloadTaskParam_t& record);

    static void SetRowConnector(NdRowConnector connector);
    // nullptr restores the default (QStorageInfo).
    static void SetFreeBytesProbe(NdFreeBytesProbe probe);

signals:
    void sigRefreshDownloadResult(float size, int percent, int state, const QString& speed);
    void sigRefreshDownloadState(int state);
    // The move had to give the video another free name; the record, stored,
    // now carries it.
    void sigVideoRenamed(const QString& videoName);

protected:
    void run() override;

private:
    struct RunState;
    enum Cancel
    {
        NotCancelled = 0,
        Deleted = 1,
        Abandoned = 2,
    };

    // One run, from the state the task was started in.
    void CarryOutRun();
    void RemoveWorkFolderIfDeleted();
    // Takes the task from the Transcoding state it was stored in; false when
    // there is nothing to merge.
    bool TakeUpMerge(RunState& run);
    bool EnterDownloading();
    // Takes the task over, stores and shows it as downloading and makes its
    // folder; false when it is not to run.
    bool BeginDownload(RunState& run);
    void RunDownload(RunState& run);
    void ShowRunStarted(const RunState& run);
    // The playlist of an earlier run, or a fresh one; false when the task stopped.
    bool ReadPlaylist(RunState& run);
    bool FetchPlaylist(RunState& run);
    void RunSegments(RunState& run);
    void CountSegmentsOnDisk(RunState& run);
    // True when the task was paused or removed; a pause is then stored and shown.
    bool StoppedByUser(RunState& run);
    // Keeps kNdSegmentsInFlight segments in flight until every missing one is
    // whole on disk; false when the task stopped. The workers end either way.
    bool RunWindow(RunState& run);
    void FillWindow(RunState& run);
    // True, with the outcome stored and shown, when the window ended before
    // every segment was whole.
    bool WindowStopped(RunState& run);
    bool DiskTooFull(const RunState& run) const;
    void Dispatch(RunState& run, size_t worker);
    // Takes in the segments that ended; a segment that failed for good sets Failing.
    void CollectEnded(RunState& run);
    void ReportFigures(RunState& run);
    void MarkAllOnDisk(RunState& run);
    void Finish(RunState& run);
    void RunMerge(RunState& run);
    void MergeAndMove(RunState& run);
    bool MoveMergedVideo(RunState& run);
    void FailMerge(RunState& run);
    void FinishMoved(RunState& run);
    void FollowMovedVideo(RunState& run);
    // byNetwork: a failure of the network alone, after its retries.
    void StopRun(RunState& run, int state, const char* report, bool byNetwork = false);
    void Report(const char* message);
    void BlankRecord();

    bool IsCancelled() const;
    // Paused, deleted or abandoned: what the stop checks of its waits ask.
    bool ShouldStop() const;
    // Runs write only while the task is neither deleted nor abandoned, atomically
    // with respect to the marks, so nothing is written after a mark has been set.
    // Writers store before they signal, so a row that reads the store on a report
    // finds what it was told.
    bool Publish(const std::function<void()>& write);
    void StoreRecord(const DownloadTaskParam_t& record);
    void StoreState(int state);
    void ConnectRow(RunState& run);

    mutable QMutex ParamMutex;
    DownloadTaskParam_t TaskParam; // VideoState lives in State
    std::atomic<int> State;
    QMutex PublishMutex;
    std::atomic<int> CancelMark;
    std::atomic<bool> PausedByUser{false};
    DownloadTaskParam_t NetworkFailure; // guarded by ParamMutex; blank when none
};

// The scheduler: carries out what its queue (NdTaskQueue) decides on task
// threads, served by a 10 ms polling loop on its own thread.
class NdDownloadTaskManager : public QThread
{
    Q_OBJECT
public:
    NdDownloadTaskManager();
    // Stops the loop and waits for it; task threads still running are told to stop
    // at their next step (leaving their stored state to resume) and waited for.
    ~NdDownloadTaskManager() override;

    void AddTask(const DownloadTaskParam_t& param);
    void ChangeDownloadState(const DownloadTaskParam_t& param);
    // Takes a task out of the scheduler before it is deleted: a waiting record is
    // dropped, a running task is marked deleted and leaves the running list.
    // Callers must call it before they delete the task's row or its files: once it
    // has returned, the task's thread no longer touches the row, writes nothing to
    // the store and does not re-create the working folder; of the outcome reports,
    // only one already under way may still reach the server.
    void RemoveTask(const DownloadTaskParam_t& param);
    // Ends the loop within one period; running task threads go on. Final.
    void stop();
    // What the network probe says: tasks that failed because of the network
    // start again by themselves once it is back (NdAutoResume).
    void SetNetworkState(bool up);

protected:
    void run() override;

private:
    using TaskThreads = std::map<NdTaskQueue::RunId, std::unique_ptr<NdDownloadTask>>;

    // One pass of the loop.
    void ServeQueue();
    void ReleaseEndedTasks();
    // Tells the queue what every task's record holds now.
    void FollowTasks();
    void CarryOutOrders();
    void StartTask(NdTaskQueue::RunId run, const DownloadTaskParam_t& record);
    void StoreStartedAgain(const DownloadTaskParam_t& record);
    bool ShallRun() const;

    NdTaskQueue Queue;
    // Every task thread started and not yet released, by run: those holding a
    // slot, and those let go of that may still run. Released by the loop once
    // their threads have ended.
    TaskThreads Tasks;
    QMutex Mutex; // guards Queue and Tasks
    std::atomic<bool> Running;
    std::atomic<bool> StopRequested;
    QElapsedTimer Clock;
};
