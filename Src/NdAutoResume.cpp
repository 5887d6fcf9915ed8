#include "NdAutoResume.h"

qint64 NdAutoResume::PauseMs(int n)
{
    static const qint64 pauses[kMaxTimedStarts] = {30 * 1000, 2 * 60 * 1000, 10 * 60 * 1000};
    return pauses[qBound(0, n, kMaxTimedStarts - 1)];
}

void NdAutoResume::Failed(const DownloadTaskParam_t& record, qint64 nowMs)
{
    Waiting[record.VideoTempPath] = Waiting_t{record, nowMs};
}

void NdAutoResume::Forget(const std::string& tempPath)
{
    Waiting.erase(tempPath);
}

void NdAutoResume::NetworkChanged(bool up)
{
    CameBack = CameBack || (up && !Up);
    Up = up;
}

std::vector<DownloadTaskParam_t> NdAutoResume::Due(qint64 nowMs)
{
    std::vector<DownloadTaskParam_t> due;
    const bool cameBack = CameBack;
    CameBack = false;
    for (auto it = Waiting.begin(); it != Waiting.end();) {
        int& timed = TimedStarts[it->first];
        const bool paused = Up && timed < kMaxTimedStarts && nowMs - it->second.FailedAtMs >= PauseMs(timed);
        if (!cameBack && !paused) {
            ++it;
            continue;
        }
        // Only the starts while the network stays up are counted: a network
        // that comes and goes overnight must not use them up.
        if (!cameBack)
            ++timed;
        due.push_back(it->second.Record);
        it = Waiting.erase(it);
    }
    return due;
}
