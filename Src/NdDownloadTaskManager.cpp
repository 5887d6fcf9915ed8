#include "NdDownloadTaskManager.h"

#include "INdDownloaderBackEnd.h"
#include "NdCore/NdCacheManager.h"
#include "NdCore/NdCommHelper.h"
#include "NdCore/NdLogManager.h"
#include "NdRetryPolicy.h"
#include "NdTaskFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QNetworkAccessManager>
#include <QScopeGuard>
#include <QStorageInfo>

#include <deque>
#include <memory>

using NdDownloaderInterface::INdDownloaderBackEnd;

namespace {

constexpr double kBytesPerMegabyte = 1024.0 * 1024.0;
constexpr double kBytesPerDecimalMegabyte = 1000.0 * 1000.0;
// The mount points of external volumes ("/Volumes/") end at index 8.
constexpr int kVolumeNameStart = 9;

QMutex g_hookMutex;
NdRowConnector g_rowConnector;
NdFreeBytesProbe g_freeBytesProbe;

NdRowConnector CurrentRowConnector()
{
    QMutexLocker lock(&g_hookMutex);
    return g_rowConnector;
}

qint64 StorageFreeBytes(const QString& path)
{
    QStorageInfo info(path);
    info.refresh();
    return info.isValid() && info.isReady() ? info.bytesAvailable() : -1;
}

qint64 ProbeFreeBytes(const QString& path)
{
    NdFreeBytesProbe probe;
    {
        QMutexLocker lock(&g_hookMutex);
        probe = g_freeBytesProbe;
    }
    return probe ? probe(path) : StorageFreeBytes(path);
}

// Segment i of the list (from 0) is stored as the file i + 1 with ".ts".
std::string SegmentFilePath(const std::string& folder, int index)
{
    return folder + "/" + std::to_string(index + 1) + ".ts";
}

// The merge list counts the segment files of the folder, so only 1.ts to count.ts
// may be there: files beyond them (left by an earlier, longer playlist) would be
// merged into the video.
void WriteMergeList(const DownloadTaskParam_t& record, int count)
{
    NdTaskFolder(record).KeepSegmentsUpTo(count);
    INdDownloaderBackEnd::GetInstance()->CreateFileList(record.VideoTempPath);
}

// Playlist addresses often carry a signature or a token in their query.
std::string Loggable(const std::string& address)
{
    return NdCommHelper::ToUtf8(NdCommHelper::LoggableAddress(NdCommHelper::FromUtf8(address)));
}

std::string DestinationPath(const DownloadTaskParam_t& record)
{
    return record.VideoDownloadPath + "/" + record.VideoName + ".mp4";
}

// ffmpeg joins the segments of the merge list into the merged file, both in the task's folder.
bool Transcode(const DownloadTaskParam_t& record)
{
    const NdTaskFolder folder(record);
    return INdDownloaderBackEnd::GetInstance()->TranscodingVideo(
        NdCommHelper::ToUtf8(folder.FilePath(QLatin1String(NdTaskFolder::kConcatListName))),
        NdCommHelper::ToUtf8(folder.FilePath(QLatin1String(NdTaskFolder::kMergedFileName))));
}

} // namespace

QString NdSpeedText(qint64 bytes, qint64 elapsedMs)
{
    const double seconds = static_cast<double>(qMax<qint64>(elapsedMs, 1)) / 1000.0;
    qint64 rate = static_cast<qint64>(static_cast<double>(bytes) / seconds);
    QString unit = QStringLiteral("B/S");
    if (rate > 1023) {
        if (rate < 1048576) {
            unit = QStringLiteral("KB/S");
            rate >>= 10;
        } else {
            unit = QStringLiteral("MB/S");
            rate >>= 20;
        }
    }
    return QStringLiteral("%1%2").arg(rate).arg(unit);
}

QString NdVolumeMountPath(const QString& downloadPath)
{
    const int cut = downloadPath.indexOf(QLatin1Char('/'), kVolumeNameStart);
    return cut >= 0 ? downloadPath.left(cut) : downloadPath;
}

QString NdDiskCheckPath(const QString& downloadPath)
{
#ifdef Q_OS_MACOS
    return NdVolumeMountPath(downloadPath);
#else
    // Removable disks mount deeper here (/media/<user>/<label>), so a cut path
    // would measure the wrong disk; the folder's own storage information finds
    // the mount it lives on.
    return downloadPath;
#endif
}

bool NdFiguresDue(int endedSinceReport, qint64 msSinceReport)
{
    return endedSinceReport >= kNdSegmentsInFlight || (endedSinceReport > 0 && msSinceReport >= kNdReportEveryMs);
}

bool NdDiskTooFull(qint64 freeBytes, float fileSizeMb, float downloadedMb)
{
    if (freeBytes < 0)
        return false;
    const double freeMb = static_cast<double>(freeBytes) / kBytesPerMegabyte;
    if (fileSizeMb <= 0.0f)
        return freeMb <= kNdUnknownSizeFreeMarginMb;
    return freeMb <= static_cast<double>(fileSizeMb - downloadedMb) * 3.0;
}

float NdDownloadedMegabytes(double megabytes, float fileSizeMb)
{
    if (fileSizeMb > 0.0f && megabytes >= static_cast<double>(fileSizeMb))
        return fileSizeMb;
    // An arrived segment always counts, however small, so the next run resumes.
    const double atLeastOneByte = 1.0 / kBytesPerMegabyte;
    return static_cast<float>(qMax(megabytes, atLeastOneByte));
}

// ---------------------------------------------------------------------------
// NdDownloadOneTsFile

NdDownloadOneTsFile::NdDownloadOneTsFile(NdStopScope::CheckFn shouldStop, QSemaphore* ended)
    : ShouldStop(std::move(shouldStop)), Ended(ended)
{ }

NdDownloadOneTsFile::~NdDownloadOneTsFile()
{
    {
        QMutexLocker lock(&Lock);
        Quitting = true;
        Changed.wakeAll();
    }
    wait();
}

void NdDownloadOneTsFile::Download(std::string tsUrl, std::string filePath)
{
    {
        QMutexLocker lock(&Lock);
        TsUrl = std::move(tsUrl);
        FilePath = std::move(filePath);
        DownloadStatus = false;
        Pending = true;
        Busy = true;
        Changed.wakeAll();
    }
    if (!isRunning())
        start();
}

bool NdDownloadOneTsFile::IsBusy() const
{
    QMutexLocker lock(&Lock);
    return Busy;
}

bool NdDownloadOneTsFile::GetDownloadStatus() const
{
    QMutexLocker lock(&Lock);
    return DownloadStatus;
}

bool NdDownloadOneTsFile::FailedByNetwork() const
{
    QMutexLocker lock(&Lock);
    return ByNetwork;
}

bool NdDownloadOneTsFile::TakeSegment(std::string& tsUrl, std::string& filePath)
{
    QMutexLocker lock(&Lock);
    while (!Pending && !Quitting)
        Changed.wait(&Lock);
    if (!Pending)
        return false;
    Pending = false;
    tsUrl = TsUrl;
    filePath = FilePath;
    return true;
}

void NdDownloadOneTsFile::EndSegment(bool downloaded, bool byNetwork)
{
    {
        QMutexLocker lock(&Lock);
        DownloadStatus = downloaded;
        ByNetwork = !downloaded && byNetwork;
        Busy = false;
    }
    Ended->release();
}

void NdDownloadOneTsFile::run()
{
    const NdStopScope stopScope(ShouldStop);
    // Made on this thread, so that its replies and their handlers live here; it
    // keeps its connection open from one segment to the next.
    QNetworkAccessManager manager;
    std::string tsUrl;
    std::string filePath;
    while (TakeSegment(tsUrl, filePath)) {
        bool downloaded = false;
        INdDownloaderBackEnd::GetInstance()->DownloadTsFile(
            tsUrl, filePath, [&downloaded](const QString&) { downloaded = true; },
            [&downloaded](const QString&, int) { downloaded = false; }, INdDownloaderBackEnd::ProgressFn(), &manager);
        // What the transfer left for deferred deletion goes now: this thread runs
        // no event loop of its own that would take it before the thread ends.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EndSegment(downloaded, NdRetryPolicy::LastGiveUpWasTransient());
    }
}

// ---------------------------------------------------------------------------
// NdDownloadTask

struct NdDownloadTask::RunState
{
    ~RunState()
    {
        for (const QMetaObject::Connection& connection : Row)
            QObject::disconnect(connection);
    }

    DownloadTaskParam_t Work; // progress, sizes and state of this run; what gets stored
    NdRowConnections Row;     // to what shows the task, for the run's whole length
    std::vector<std::string> Segments;
    // The places in flight, made when first needed; they live as long as the
    // window runs. Assigned holds each one's segment, -1 while it is idle.
    std::vector<std::unique_ptr<NdDownloadOneTsFile>> Workers;
    std::vector<int> Assigned;
    std::deque<int> Missing;          // segments not yet whole on disk, in playlist order
    QSemaphore Ended;                 // released by a worker whenever its segment ends
    std::atomic<bool> Failing{false}; // a segment failed for good: the others stop
    bool ByNetwork = true;            // every segment that failed for good failed because of the network alone
    bool DiskFull = false;
    int DispatchedSinceDiskCheck = kNdSegmentsInFlight; // the disk is measured before the first
    int OnDisk = 0;                                     // whole segment files
    int Percent = 0;
    QString Speed;
    bool Fresh = false;
    bool FolderMade = false;
    QString MovedVideo; // where a move put the merged video, once it has
    // What is on disk: the segments' bytes, and on the fresh path the
    // playlist's announced size too.
    qint64 ByteCounter = 0;
    int EndedSinceReport = 0;
    qint64 BytesSinceReport = 0;
    QElapsedTimer SinceReport;

    int SegmentCount() const { return static_cast<int>(Segments.size()); }
    int InFlight() const
    {
        return static_cast<int>(std::count_if(Assigned.begin(), Assigned.end(), [](int i) { return i >= 0; }));
    }
};

NdDownloadTask::NdDownloadTask() : State(Wait), CancelMark(NotCancelled) { }

NdDownloadTask::~NdDownloadTask()
{
    wait();
}

void NdDownloadTask::SetDownloadParam(const DownloadTaskParam_t& param)
{
    QMutexLocker lock(&ParamMutex);
    TaskParam = param;
    State.store(param.VideoState);
}

void NdDownloadTask::DoWork(const DownloadTaskParam_t& param)
{
    SetDownloadParam(param);
}

DownloadTaskParam_t NdDownloadTask::GetDownloadParam() const
{
    QMutexLocker lock(&ParamMutex);
    DownloadTaskParam_t copy = TaskParam;
    copy.VideoState = State.load();
    return copy;
}

void NdDownloadTask::SetDownloadState(int state)
{
    if (state == Paused)
        PausedByUser.store(true);
    State.store(state);
}

void NdDownloadTask::MarkDeleted()
{
    QMutexLocker lock(&PublishMutex);
    CancelMark.store(Deleted);
}

void NdDownloadTask::MarkAbandoned()
{
    QMutexLocker lock(&PublishMutex);
    if (CancelMark.load() == NotCancelled)
        CancelMark.store(Abandoned);
}

bool NdDownloadTask::TakeNetworkFailure(DownloadTaskParam_t& record)
{
    QMutexLocker lock(&ParamMutex);
    // What the user paused or deleted is theirs to start again.
    if (NetworkFailure.IsBlank() || PausedByUser.load() || IsCancelled())
        return false;
    record = NetworkFailure;
    NetworkFailure = DownloadTaskParam_t();
    return true;
}

void NdDownloadTask::SetRowConnector(NdRowConnector connector)
{
    QMutexLocker lock(&g_hookMutex);
    g_rowConnector = std::move(connector);
}

void NdDownloadTask::SetFreeBytesProbe(NdFreeBytesProbe probe)
{
    QMutexLocker lock(&g_hookMutex);
    g_freeBytesProbe = std::move(probe);
}

void NdDownloadTask::run()
{
    const NdStopScope stopScope([this] { return ShouldStop(); });
    CarryOutRun();
    RemoveWorkFolderIfDeleted();
    BlankRecord();
}

// The run state goes, and with it the row's connection, before the record is
// blanked: a task whose record is blank no longer speaks to its row.
void NdDownloadTask::CarryOutRun()
{
    RunState run;
    const bool merging = State.load() == Transcoding && TakeUpMerge(run);
    if (!merging && !BeginDownload(run))
        return;
    ConnectRow(run);
    if (IsCancelled())
        return;
    if (merging)
        RunMerge(run);
    else
        RunDownload(run);
}

// Segments in flight while the task was deleted may have been created
// after its folder was removed; they go too, now that no segment thread is left.
void NdDownloadTask::RemoveWorkFolderIfDeleted()
{
    if (CancelMark.load() != Deleted)
        return;
    NdTaskFolder(GetDownloadParam()).Remove();
}

bool NdDownloadTask::IsCancelled() const
{
    return CancelMark.load() != NotCancelled;
}

bool NdDownloadTask::ShouldStop() const
{
    return IsCancelled() || State.load() == Paused;
}

bool NdDownloadTask::Publish(const std::function<void()>& write)
{
    QMutexLocker lock(&PublishMutex);
    if (IsCancelled())
        return false;
    write();
    return true;
}

void NdDownloadTask::StoreRecord(const DownloadTaskParam_t& record)
{
    NdCacheManager::GetInstance()->UpdateOneDownloadTask(record);
}

void NdDownloadTask::StoreState(int state)
{
    NdCacheManager::GetInstance()->UpdateTaskState(GetDownloadParam().VideoTempPath, state);
}

// Connected under the lock that the deletion mark takes, so once RemoveTask
// has returned what shows the task may go: either the connection exists
// already (and Qt drops it with the receiver) or it is never made.
void NdDownloadTask::ConnectRow(RunState& run)
{
    Publish([&] {
        const NdRowConnector connector = CurrentRowConnector();
        if (connector)
            run.Row = connector(this, GetDownloadParam());
    });
}

void NdDownloadTask::BlankRecord()
{
    QMutexLocker lock(&ParamMutex);
    TaskParam = DownloadTaskParam_t();
    State.store(Wait);
}

// A pause may arrive between reading the state and taking the task over, so the
// switch to Downloading only happens from the state that was read.
bool NdDownloadTask::EnterDownloading()
{
    int expected = State.load();
    while (expected == Wait || expected == Downloading) {
        if (State.compare_exchange_weak(expected, Downloading))
            return true;
    }
    return false;
}

bool NdDownloadTask::BeginDownload(RunState& run)
{
    if (!EnterDownloading() || IsCancelled())
        return false;
    run.Work = GetDownloadParam();
    const bool live = Publish([&] {
        emit sigRefreshDownloadState(Downloading);
        StoreRecord(run.Work);
        run.FolderMade = NdTaskFolder(run.Work).Create();
    });
    if (live)
        ND_LOG(LogInfo, "====================  Start download m3u8: %s", Loggable(run.Work.VideoM3U8Url).c_str());
    return live;
}

void NdDownloadTask::RunDownload(RunState& run)
{
    ShowRunStarted(run);
    if (!run.FolderMade) {
        StopRun(run, Failed, "download_fail");
        return;
    }
    if (ReadPlaylist(run))
        RunSegments(run);
}

// A row shows the task as downloading from the start of a run, also when the
// run was started by the scheduler after a failure.
void NdDownloadTask::ShowRunStarted(const RunState& run)
{
    const float size = run.Work.VideoFileSize;
    const float downloaded = run.Work.VideoDownloadFileSize;
    const int percent = size > 0.0f ? static_cast<int>(downloaded / size * 100.0f) : 0;
    Publish([&] { emit sigRefreshDownloadResult(downloaded, percent, Downloading, QString()); });
}

// Without the playlist of the earlier run (its folder was removed) the task
// could never resume; it starts afresh instead. A playlist that is there but
// yields nothing (its key cannot be had) fails the task as it is.
bool NdDownloadTask::ReadPlaylist(RunState& run)
{
    INdDownloaderBackEnd* backEnd = INdDownloaderBackEnd::GetInstance();
    run.Fresh = run.Work.VideoDownloadFileSize <= 0.0f;
    if (!run.Fresh && !backEnd->M3U8Parse(run.Work.VideoTempPath, run.Work.VideoM3U8Url, run.Segments)) {
        ND_LOG(LogInfo, "No playlist to resume from in %s.", run.Work.VideoTempPath.c_str());
        run.Fresh = true;
    }
    if (!run.Fresh)
        return true;
    if (!FetchPlaylist(run) || IsCancelled())
        return false;
    backEnd->M3U8Parse(run.Work.VideoTempPath, run.Work.VideoM3U8Url, run.Segments);
    return true;
}

bool NdDownloadTask::FetchPlaylist(RunState& run)
{
    bool transferEnded = false;
    qint64 announced = 0;
    INdDownloaderBackEnd::GetInstance()->DownloadM3U8FileSync(
        run.Work.VideoM3U8Url, run.Work.VideoTempPath, [&transferEnded] { transferEnded = true; },
        [&announced](long long received, long long total) { announced = total < 0 ? received : total; });
    if (!transferEnded) {
        ND_LOG(LogInfo, "Cannot create the playlist file in %s.", run.Work.VideoTempPath.c_str());
        StopRun(run, Failed, "download_fail");
        return false;
    }
    if (announced <= 0) {
        if (StoppedByUser(run))
            return false;
        ND_LOG(LogInfo, "Download m3u8 file failed, url: %s.", Loggable(run.Work.VideoM3U8Url).c_str());
        StopRun(run, Failed, "download_fail", NdRetryPolicy::LastGiveUpWasTransient());
        return false;
    }
    run.ByteCounter = announced;
    return true;
}

void NdDownloadTask::RunSegments(RunState& run)
{
    if (IsCancelled())
        return;
    if (run.Segments.empty()) {
        if (StoppedByUser(run))
            return;
        ND_LOG(LogInfo, "No segment in the m3u8 file, url: %s.", Loggable(run.Work.VideoM3U8Url).c_str());
        // A key that could not be had over the network alone leaves the mark.
        StopRun(run, Failed, "download_fail", NdRetryPolicy::LastGiveUpWasTransient());
        return;
    }
    ND_LOG(LogInfo, "Download m3u8 file success, url: %s.", Loggable(run.Work.VideoM3U8Url).c_str());
    CountSegmentsOnDisk(run);
    if (!RunWindow(run))
        return;
    // A pause that came while the last segments arrived is honoured before the
    // merge: the segments stay on disk and a restart merges them, instead of
    // the restart downloading a video that is already finished.
    if (StoppedByUser(run))
        return;
    // A resume that found every segment on disk fetched none, but everything is
    // there all the same.
    if (run.Work.VideoState != Downloaded)
        MarkAllOnDisk(run);
    Finish(run);
}

// What a run before this one left whole stays; only what is missing is fetched.
void NdDownloadTask::CountSegmentsOnDisk(RunState& run)
{
    for (int i = 0; i < run.SegmentCount(); ++i) {
        const QFileInfo file(NdCommHelper::FromUtf8(SegmentFilePath(run.Work.VideoTempPath, i)));
        if (file.isFile()) {
            ++run.OnDisk;
            run.ByteCounter += file.size();
        } else {
            run.Missing.push_back(i);
        }
    }
}

bool NdDownloadTask::RunWindow(RunState& run)
{
    // On a pause, a failure, a deletion or the end of the segments alike.
    const auto endWorkers = qScopeGuard([&run] { run.Workers.clear(); });
    run.SinceReport.start();
    for (;;) {
        FillWindow(run);
        if (run.InFlight() == 0)
            break;
        run.Ended.acquire();
        CollectEnded(run);
        if (!run.Failing.load() && !ShouldStop() && NdFiguresDue(run.EndedSinceReport, run.SinceReport.elapsed()))
            ReportFigures(run);
    }
    // What came whole is stored however the window ended, so that the next run
    // resumes from the files on disk rather than from the playlist.
    if (run.EndedSinceReport > 0)
        ReportFigures(run);
    return !WindowStopped(run);
}

// Hands every idle place its next missing segment while the task goes on; the
// free space is measured before every kNdSegmentsInFlight of them.
void NdDownloadTask::FillWindow(RunState& run)
{
    for (size_t worker = 0; worker < size_t(kNdSegmentsInFlight); ++worker) {
        if (run.Failing.load() || run.DiskFull || ShouldStop() || run.Missing.empty())
            return;
        if (worker < run.Assigned.size() && run.Assigned[worker] >= 0)
            continue;
        if (run.DispatchedSinceDiskCheck >= kNdSegmentsInFlight) {
            run.DispatchedSinceDiskCheck = 0;
            run.DiskFull = DiskTooFull(run);
            if (run.DiskFull)
                return;
        }
        Dispatch(run, worker);
        ++run.DispatchedSinceDiskCheck;
    }
}

// A pause or a deletion ends the transfers in flight: that is no failure.
bool NdDownloadTask::WindowStopped(RunState& run)
{
    if (StoppedByUser(run))
        return true;
    if (run.Failing.load()) {
        StopRun(run, Failed, "download_fail", run.ByNetwork);
        return true;
    }
    if (run.DiskFull) {
        StopRun(run, NoDisk, "download_disk_full");
        return true;
    }
    return false;
}

bool NdDownloadTask::DiskTooFull(const RunState& run) const
{
    const QString diskPath = NdDiskCheckPath(NdCommHelper::FromUtf8(run.Work.VideoDownloadPath));
    if (!NdDiskTooFull(ProbeFreeBytes(diskPath), run.Work.VideoFileSize, run.Work.VideoDownloadFileSize))
        return false;
    ND_LOG(LogInfo, "Not enough free space at %s.", qUtf8Printable(diskPath));
    return true;
}

void NdDownloadTask::Dispatch(RunState& run, size_t worker)
{
    if (worker >= run.Workers.size()) {
        run.Workers.push_back(std::make_unique<NdDownloadOneTsFile>(
            [this, &run] { return ShouldStop() || run.Failing.load(); }, &run.Ended));
        run.Assigned.push_back(-1);
    }
    const int index = run.Missing.front();
    run.Missing.pop_front();
    run.Assigned[worker] = index;
    run.Workers[worker]->Download(run.Segments[index], SegmentFilePath(run.Work.VideoTempPath, index));
}

void NdDownloadTask::CollectEnded(RunState& run)
{
    for (size_t worker = 0; worker < run.Assigned.size(); ++worker) {
        const int index = run.Assigned[worker];
        if (index < 0 || run.Workers[worker]->IsBusy())
            continue;
        run.Assigned[worker] = -1;
        const std::string file = SegmentFilePath(run.Work.VideoTempPath, index);
        if (run.Workers[worker]->GetDownloadStatus()) {
            const qint64 bytes = QFileInfo(NdCommHelper::FromUtf8(file)).size();
            ++run.OnDisk;
            ++run.EndedSinceReport;
            run.BytesSinceReport += bytes;
            run.ByteCounter += bytes;
            continue;
        }
        // A transfer ended by a pause, or by another segment's failure, is no failure of its own.
        if (ShouldStop() || run.Failing.load())
            continue;
        ND_LOG(LogInfo, "Download ts file failed: %s.", file.c_str());
        run.ByNetwork = run.ByNetwork && run.Workers[worker]->FailedByNetwork();
        run.Failing.store(true);
    }
}

// Size, percentage and speed since the last report, stored and shown.
void NdDownloadTask::ReportFigures(RunState& run)
{
    run.Speed = NdSpeedText(run.BytesSinceReport, run.SinceReport.elapsed());
    run.Percent = run.SegmentCount() > 0 ? run.OnDisk * 100 / run.SegmentCount() : 0;
    run.Work.VideoDownloadFileSize
        = NdDownloadedMegabytes(static_cast<double>(run.ByteCounter) / kBytesPerMegabyte, run.Work.VideoFileSize);
    if (run.OnDisk >= run.SegmentCount())
        run.Work.VideoState = Downloaded;
    run.EndedSinceReport = 0;
    run.BytesSinceReport = 0;
    run.SinceReport.restart();
    Publish([&] {
        StoreRecord(run.Work);
        emit sigRefreshDownloadResult(run.Work.VideoDownloadFileSize, run.Percent, run.Work.VideoState, run.Speed);
    });
}

bool NdDownloadTask::StoppedByUser(RunState& run)
{
    if (IsCancelled())
        return true;
    const int state = State.load();
    if (state == Downloading)
        return false;
    StopRun(run, state, nullptr);
    return true;
}

void NdDownloadTask::MarkAllOnDisk(RunState& run)
{
    run.Work.VideoState = Downloaded;
    run.Percent = 100;
    Publish([&] {
        StoreRecord(run.Work);
        emit sigRefreshDownloadResult(run.Work.VideoDownloadFileSize, run.Percent, Downloaded, run.Speed);
    });
}

void NdDownloadTask::Finish(RunState& run)
{
    if (run.Work.VideoFileSize > 0.0f)
        run.Work.VideoDownloadFileSize = run.Work.VideoFileSize;
    ND_LOG(LogInfo, ":End download m3u8  ====================");
    ND_LOG(LogInfo, ":Start create filelist.txt  ====================");
    // Stopped here, the task stays stored as Downloaded: the next start merges it.
    if (IsCancelled())
        return;
    WriteMergeList(run.Work, run.SegmentCount());
    ND_LOG(LogInfo, ":End create filelist.txt    ====================");

    State.store(Transcoding);
    run.Work.VideoState = Transcoding;
    const bool live = Publish([&] {
        StoreState(Transcoding);
        emit sigRefreshDownloadResult(run.Work.VideoDownloadFileSize, run.Percent, Transcoding, run.Speed);
    });
    if (live)
        MergeAndMove(run);
}

// A task stored while merging: its segments are all on disk. The playlist is
// read again, offline when its keys are in the folder, so the merge works from
// the task folder alone and can be checked. Without a playlist there is
// nothing to merge, and the task is downloaded again.
bool NdDownloadTask::TakeUpMerge(RunState& run)
{
    run.Work = GetDownloadParam();
    run.MovedVideo = NdTaskFolder(run.Work).MovedVideo();
    if (!run.MovedVideo.isEmpty()
        || INdDownloaderBackEnd::GetInstance()->M3U8Parse(run.Work.VideoTempPath, run.Work.VideoM3U8Url, run.Segments))
        return true;
    ND_LOG(LogInfo, "Nothing to merge in %s; downloading again.", run.Work.VideoTempPath.c_str());
    run.Segments.clear();
    State.store(Downloading);
    return false;
}

void NdDownloadTask::RunMerge(RunState& run)
{
    if (run.MovedVideo.isEmpty()) {
        if (run.Segments.empty()) {
            StopRun(run, Failed, "download_fail");
            return;
        }
        WriteMergeList(run.Work, run.SegmentCount());
    }
    MergeAndMove(run);
}

// Success needs ffmpeg to have made a whole video and the move to have taken it
// out of the working folder. A run killed after the move finds the video where
// the move left it and only finishes; the working folder goes once the result is
// stored, so a kill in between leaves a folder, never a task without its video.
void NdDownloadTask::MergeAndMove(RunState& run)
{
    ND_LOG(LogInfo, ":Start transcoding  ====================");
    if (IsCancelled())
        return;
    const bool transcoded = !run.MovedVideo.isEmpty() || Transcode(run.Work);
    ND_LOG(LogInfo, ":End transcoding    ====================");
    ND_LOG(LogInfo, ":Start move video  ====================");
    if (IsCancelled())
        return;
    if (transcoded && run.MovedVideo.isEmpty() && !MoveMergedVideo(run))
        return;
    ND_LOG(LogInfo, ":End move video    ====================");
    if (run.MovedVideo.isEmpty())
        FailMerge(run);
    else
        FinishMoved(run);
}

// Under the deletion lock: a task deleted meanwhile leaves no video behind.
bool NdDownloadTask::MoveMergedVideo(RunState& run)
{
    const NdTaskFolder folder(run.Work);
    const QString merged = folder.FilePath(QLatin1String(NdTaskFolder::kMergedFileName));
    const bool live = Publish([&] {
        INdDownloaderBackEnd::GetInstance()->MoveVideo(NdCommHelper::ToUtf8(merged), DestinationPath(run.Work));
    });
    if (live)
        run.MovedVideo = folder.MovedVideo();
    return live;
}

void NdDownloadTask::FailMerge(RunState& run)
{
    ND_LOG(LogInfo, "Merging failed, the segments stay in %s.", run.Work.VideoTempPath.c_str());
    Publish([&] { NdTaskFolder(run.Work).RemoveFile(QLatin1String(NdTaskFolder::kMergedFileName)); });
    StopRun(run, Failed, "download_fail");
}

void NdDownloadTask::FinishMoved(RunState& run)
{
    FollowMovedVideo(run);
    Report("download_success");
    const qint64 videoBytes = QFileInfo(run.MovedVideo).size();
    run.Work.VideoTranscodeFileSize = static_cast<float>(static_cast<double>(videoBytes) / kBytesPerDecimalMegabyte);
    State.store(Finished);
    run.Work.VideoState = Finished;
    const bool live = Publish([&] {
        StoreRecord(run.Work);
        emit sigRefreshDownloadResult(run.Work.VideoTranscodeFileSize, 100, Finished, run.Speed);
    });
    if (live)
        NdTaskFolder(run.Work).Remove();
}

// A file that took the video's name while it was made sends the video to a
// free name: the record, the store and the row follow it, so that the row, its
// folder button and deletion point at the real file. Renamed in the store
// first: a kill before the finished state is stored finds the same name again.
void NdDownloadTask::FollowMovedVideo(RunState& run)
{
    const QString fileName = QFileInfo(run.MovedVideo).fileName();
    if (!fileName.endsWith(QLatin1String(".mp4")))
        return;
    const std::string name = NdCommHelper::ToUtf8(fileName.chopped(4));
    if (name == run.Work.VideoName)
        return;
    ND_LOG(LogInfo, "The video of %s took the free name %s.", run.Work.VideoName.c_str(), name.c_str());
    Publish([&] {
        NdCacheManager::GetInstance()->UpdateVideoName(run.Work.VideoTempPath, name);
        emit sigVideoRenamed(NdCommHelper::FromUtf8(name));
    });
    run.Work.VideoName = name;
    QMutexLocker lock(&ParamMutex);
    TaskParam.VideoName = name;
}

void NdDownloadTask::StopRun(RunState& run, int state, const char* report, bool byNetwork)
{
    if (state == Failed || state == NoDisk)
        State.store(state);
    run.Work.VideoState = state;
    if (state == Failed && byNetwork) {
        QMutexLocker lock(&ParamMutex);
        NetworkFailure = run.Work;
    }
    const bool live = Publish([&] {
        StoreState(state);
        emit sigRefreshDownloadResult(run.Work.VideoDownloadFileSize, run.Percent, state, run.Speed);
    });
    if (live && report)
        Report(report);
}

void NdDownloadTask::Report(const char* message)
{
    if (IsCancelled())
        return;
    INdDownloaderBackEnd::GetInstance()->ReportInfo(GetDownloadParam(), DownloadReport, message, false);
}

// ---------------------------------------------------------------------------
// NdDownloadTaskManager

NdDownloadTaskManager::NdDownloadTaskManager() : Running(false), StopRequested(false)
{
    Clock.start();
}

NdDownloadTaskManager::~NdDownloadTaskManager()
{
    stop();
    wait();
    TaskThreads tasks;
    {
        QMutexLocker lock(&Mutex);
        tasks.swap(Tasks);
    }
    // All are told before the first is waited for, so that they stop side by side.
    for (const auto& entry : tasks)
        entry.second->MarkAbandoned();
    tasks.clear();
}

void NdDownloadTaskManager::AddTask(const DownloadTaskParam_t& param)
{
    QMutexLocker lock(&Mutex);
    Queue.Add(param);
}

void NdDownloadTaskManager::ChangeDownloadState(const DownloadTaskParam_t& param)
{
    NdCacheManager::GetInstance()->UpdateOneDownloadTask(param);
    QMutexLocker lock(&Mutex);
    FollowTasks();
    Queue.ChangeState(param);
    CarryOutOrders();
}

void NdDownloadTaskManager::RemoveTask(const DownloadTaskParam_t& param)
{
    QMutexLocker lock(&Mutex);
    FollowTasks();
    Queue.Remove(param);
    CarryOutOrders();
}

void NdDownloadTaskManager::SetNetworkState(bool up)
{
    QMutexLocker lock(&Mutex);
    Queue.NetworkChanged(up);
}

void NdDownloadTaskManager::stop()
{
    StopRequested.store(true);
    Running.store(false);
}

bool NdDownloadTaskManager::ShallRun() const
{
    return Running.load() && !StopRequested.load();
}

void NdDownloadTaskManager::run()
{
    Running.store(true);
    while (ShallRun()) {
        ServeQueue();
        msleep(10);
    }
}

void NdDownloadTaskManager::ServeQueue()
{
    QMutexLocker lock(&Mutex);
    ReleaseEndedTasks();
    Queue.ResumeDue(Clock.elapsed());
    // The records are copied under each task's lock: only when the queue
    // needs them, not a hundred times a second for nothing.
    if (Queue.HasWaiting()) {
        FollowTasks();
        Queue.ServeWaiting();
    }
    CarryOutOrders();
}

// A blank record is set just before run() returns, so a task is released only
// once its thread has really finished. Ended tasks go at once, not only when a
// waiting task needs their slot, so none is kept while nothing waits.
void NdDownloadTaskManager::ReleaseEndedTasks()
{
    for (auto it = Tasks.begin(); it != Tasks.end();) {
        if (!it->second->isFinished()) {
            ++it;
            continue;
        }
        it->second->wait();
        DownloadTaskParam_t networkFailure;
        it->second->TakeNetworkFailure(networkFailure);
        Queue.Ended(it->first, networkFailure, Clock.elapsed());
        it = Tasks.erase(it);
    }
}

// A task's record changes under the queue's eyes: its video may take another
// name, and the record goes blank as the run ends.
void NdDownloadTaskManager::FollowTasks()
{
    for (const auto& entry : Tasks)
        Queue.Follow(entry.first, entry.second->GetDownloadParam());
}

void NdDownloadTaskManager::CarryOutOrders()
{
    for (const NdTaskOrder_t& order : Queue.TakeOrders()) {
        switch (order.What) {
        case NdTaskOrder_t::Start:
            StartTask(order.Run, order.Record);
            break;
        case NdTaskOrder_t::Pause:
            Tasks.at(order.Run)->SetDownloadState(Paused);
            break;
        case NdTaskOrder_t::Delete:
            Tasks.at(order.Run)->MarkDeleted();
            break;
        case NdTaskOrder_t::StartAgain:
            StoreStartedAgain(order.Record);
            break;
        }
    }
}

void NdDownloadTaskManager::StartTask(NdTaskQueue::RunId run, const DownloadTaskParam_t& record)
{
    auto task = std::make_unique<NdDownloadTask>();
    task->SetDownloadParam(record);
    task->start();
    Tasks.emplace(run, std::move(task));
}

void NdDownloadTaskManager::StoreStartedAgain(const DownloadTaskParam_t& record)
{
    ND_LOG(LogInfo, "Starting %s again by itself: it failed because of the network.", record.VideoName.c_str());
    NdCacheManager::GetInstance()->UpdateTaskState(record.VideoTempPath, Wait);
}
