#pragma once

#include "NdAutoResume.h"

#include "NdCore/NdDownloadTaskParam.h"

#include <QtGlobal>

#include <list>
#include <string>
#include <vector>

// Tasks that download at the same time.
constexpr int kNdTaskSlots = 5;

// One thing the scheduler carries out on its task threads for the queue.
struct NdTaskOrder_t
{
    enum Kind
    {
        Start,      // start a task thread on Record, known from now on as Run
        Pause,      // tell Run's thread that the user paused its task
        Delete,     // tell Run's thread that its task is deleted
        StartAgain, // Record failed because of the network and is queued again: store it as waiting
    };

    Kind What = Start;
    quint64 Run = 0;
    DownloadTaskParam_t Record;
};

// The scheduler's rules, with no thread, no lock and no event loop: the
// waiting records in the order they came, the runs that hold the five slots,
// and the runs that gave up their slots but may still be at work. Events go
// in; what the threads must do comes out of TakeOrders. Runs are numbered from
// 1 in the order they start; a run is found for a record by its task's folders
// and name, as the task's record holds them now (Follow).
class NdTaskQueue
{
public:
    using RunId = quint64;

    // Queued at the end, unless it lacks one of its folders or waits already.
    // A running task is not looked at: a task restarted by the user queues again.
    void Add(const DownloadTaskParam_t& record);
    // The user's start or pause; the record carries the new state. Waiting,
    // downloading, failed and disk-full records queue; a pause lets a running
    // task go at once and drops a waiting one; other states change nothing.
    void ChangeState(const DownloadTaskParam_t& record);
    // The task is being deleted: it leaves the queue, and the run holding a
    // slot for it is told and lets the slot go.
    void Remove(const DownloadTaskParam_t& record);
    void NetworkChanged(bool up);
    // What the task of a run holds now: its video may have taken another name,
    // and its record goes blank as its run ends.
    void Follow(RunId run, const DownloadTaskParam_t& record);
    // The thread of a run has ended. networkFailure: its record when the run
    // failed because of the network alone (it then starts again by itself,
    // NdAutoResume); blank otherwise.
    void Ended(RunId run, const DownloadTaskParam_t& networkFailure, qint64 nowMs);
    // One pass of the scheduler's loop: ResumeDue, then ServeWaiting.
    void Pass(qint64 nowMs);
    // The tasks due to start again by themselves queue.
    void ResumeDue(qint64 nowMs);
    bool HasWaiting() const { return !Waiting.empty(); }
    // With a record waiting, one run starts, or with all slots taken one run
    // whose record is blank gives its slot up. Reads the runs' records, so
    // they must be followed first.
    void ServeWaiting();
    std::vector<NdTaskOrder_t> TakeOrders();

private:
    struct Run_t
    {
        RunId Id = 0;
        DownloadTaskParam_t Record;
        bool HoldsSlot = true;
    };

    void StartAgainByItself(DownloadTaskParam_t record);
    void StartFirstWaiting();
    void FreeOneBlankSlot();
    // The run holding a slot for the record's task takes the order and gives
    // its slot up; false when there is none.
    bool LetRunGo(const DownloadTaskParam_t& record, NdTaskOrder_t::Kind order);
    bool IsStillRunningElsewhere(const std::string& tempPath) const;
    bool IsWaiting(const std::string& tempPath) const;
    void RemoveWaiting(const std::string& tempPath);
    int SlotsTaken() const;
    void Order(NdTaskOrder_t::Kind what, RunId run, const DownloadTaskParam_t& record = DownloadTaskParam_t());

    std::list<DownloadTaskParam_t> Waiting;
    std::vector<Run_t> Runs; // in the order they started, until their threads have ended
    NdAutoResume AutoResume;
    std::vector<NdTaskOrder_t> Orders;
    RunId LastRun = 0;
};
