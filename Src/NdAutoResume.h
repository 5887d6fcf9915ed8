#pragma once

#include "NdCore/NdDownloadTaskParam.h"

#include <QtGlobal>

#include <map>
#include <string>
#include <vector>

// Which tasks that failed because of the network alone start again by
// themselves, and when: all of them as soon as the network comes back, and,
// while it is up, each after growing pauses (30 s, 2 min, 10 min) at most
// three times per start of the program. A task the user paused, started or
// deleted meanwhile is left alone, and so is one that failed for another
// reason. Kept in memory only. No thread and no lock: the scheduler drives it.
class NdAutoResume
{
public:
    static constexpr int kMaxTimedStarts = 3;

    // The pause before timed start number n (from 0).
    static qint64 PauseMs(int n);

    // A run of the task ended as failed because of the network, at nowMs.
    void Failed(const DownloadTaskParam_t& record, qint64 nowMs);
    // The user's own start, pause or deletion: nothing more to do for it.
    void Forget(const std::string& tempPath);
    void NetworkChanged(bool up);
    // The tasks to start now, each once; they wait again only when they fail again.
    std::vector<DownloadTaskParam_t> Due(qint64 nowMs);

private:
    struct Waiting_t
    {
        DownloadTaskParam_t Record;
        qint64 FailedAtMs = 0;
    };

    std::map<std::string, Waiting_t> Waiting;
    std::map<std::string, int> TimedStarts; // per task, since the program started
    bool Up = true;
    bool CameBack = false;
};
