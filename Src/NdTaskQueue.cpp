#include "NdTaskQueue.h"

#include <algorithm>

namespace {

bool SameTask(const DownloadTaskParam_t& a, const DownloadTaskParam_t& b)
{
    return a.VideoTempPath == b.VideoTempPath && a.VideoDownloadPath == b.VideoDownloadPath
        && a.VideoName == b.VideoName;
}

} // namespace

void NdTaskQueue::Add(const DownloadTaskParam_t& record)
{
    if (record.VideoTempPath.empty() || record.VideoDownloadPath.empty() || IsWaiting(record.VideoTempPath))
        return;
    Waiting.push_back(record);
}

void NdTaskQueue::ChangeState(const DownloadTaskParam_t& record)
{
    AutoResume.Forget(record.VideoTempPath);
    switch (record.VideoState) {
    case Wait:
    case Downloading:
    case Failed:
    case NoDisk:
        Add(record);
        break;
    case Paused:
        if (!LetRunGo(record, NdTaskOrder_t::Pause))
            RemoveWaiting(record.VideoTempPath);
        break;
    default:
        break;
    }
}

void NdTaskQueue::Remove(const DownloadTaskParam_t& record)
{
    AutoResume.Forget(record.VideoTempPath);
    LetRunGo(record, NdTaskOrder_t::Delete);
    RemoveWaiting(record.VideoTempPath);
}

void NdTaskQueue::NetworkChanged(bool up)
{
    AutoResume.NetworkChanged(up);
}

void NdTaskQueue::Follow(RunId run, const DownloadTaskParam_t& record)
{
    for (Run_t& each : Runs) {
        if (each.Id == run)
            each.Record = record;
    }
}

void NdTaskQueue::Ended(RunId run, const DownloadTaskParam_t& networkFailure, qint64 nowMs)
{
    Runs.erase(
        std::remove_if(Runs.begin(), Runs.end(), [run](const Run_t& each) { return each.Id == run; }), Runs.end());
    if (!networkFailure.IsBlank())
        AutoResume.Failed(networkFailure, nowMs);
}

void NdTaskQueue::Pass(qint64 nowMs)
{
    ResumeDue(nowMs);
    ServeWaiting();
}

void NdTaskQueue::ResumeDue(qint64 nowMs)
{
    for (DownloadTaskParam_t& record : AutoResume.Due(nowMs))
        StartAgainByItself(record);
}

void NdTaskQueue::ServeWaiting()
{
    if (Waiting.empty())
        return;
    if (SlotsTaken() >= kNdTaskSlots)
        FreeOneBlankSlot();
    else if (!IsStillRunningElsewhere(Waiting.front().VideoTempPath))
        StartFirstWaiting();
}

std::vector<NdTaskOrder_t> NdTaskQueue::TakeOrders()
{
    std::vector<NdTaskOrder_t> orders;
    orders.swap(Orders);
    return orders;
}

// Queued again as the start button would: as waiting, at the end of the queue.
void NdTaskQueue::StartAgainByItself(DownloadTaskParam_t record)
{
    record.VideoState = Wait;
    Order(NdTaskOrder_t::StartAgain, 0, record);
    Add(record);
}

void NdTaskQueue::StartFirstWaiting()
{
    const Run_t run{++LastRun, Waiting.front(), true};
    Waiting.pop_front();
    Runs.push_back(run);
    Order(NdTaskOrder_t::Start, run.Id, run.Record);
}

// A run blanks its record just before its thread ends; its slot need not wait
// for that.
void NdTaskQueue::FreeOneBlankSlot()
{
    for (Run_t& run : Runs) {
        if (run.HoldsSlot && run.Record.IsBlank()) {
            run.HoldsSlot = false;
            return;
        }
    }
}

bool NdTaskQueue::LetRunGo(const DownloadTaskParam_t& record, NdTaskOrder_t::Kind order)
{
    for (Run_t& run : Runs) {
        if (run.HoldsSlot && SameTask(run.Record, record)) {
            run.HoldsSlot = false;
            Order(order, run.Id);
            return true;
        }
    }
    return false;
}

// A task paused and started again before its last run has ended waits
// for that run: two threads must never work in one folder.
bool NdTaskQueue::IsStillRunningElsewhere(const std::string& tempPath) const
{
    return std::any_of(Runs.begin(), Runs.end(),
        [&](const Run_t& run) { return !run.HoldsSlot && run.Record.VideoTempPath == tempPath; });
}

bool NdTaskQueue::IsWaiting(const std::string& tempPath) const
{
    return std::any_of(Waiting.begin(), Waiting.end(),
        [&](const DownloadTaskParam_t& waiting) { return waiting.VideoTempPath == tempPath; });
}

void NdTaskQueue::RemoveWaiting(const std::string& tempPath)
{
    const auto it = std::find_if(Waiting.begin(), Waiting.end(),
        [&](const DownloadTaskParam_t& waiting) { return waiting.VideoTempPath == tempPath; });
    if (it != Waiting.end())
        Waiting.erase(it);
}

int NdTaskQueue::SlotsTaken() const
{
    return static_cast<int>(std::count_if(Runs.begin(), Runs.end(), [](const Run_t& run) { return run.HoldsSlot; }));
}

void NdTaskQueue::Order(NdTaskOrder_t::Kind what, RunId run, const DownloadTaskParam_t& record)
{
    Orders.push_back(NdTaskOrder_t{what, run, record});
}
