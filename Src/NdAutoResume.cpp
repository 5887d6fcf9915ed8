#include "NdAutoResume.h"

qint64 NdAutoResume::PauseMs(int n)
{
    static const qint64 pauses[kMaxTimedStarts] = {30 * 1000, 2 * 60 * 1000, 10 * 60 * 1000};
    return pauses[qBound(0, n, kMaxTimedStarts - 1)];
}

void NdAutoResume::Failed(const DownloadTaskParam_t& record, qint64 nowMs)
{
    m_waiting[record.VideoTempPath] = Waiting_t{record, nowMs};
}

void NdAutoResume::Forget(const std::string& tempPath)
{
    m_waiting.erase(tempPath);
}

void NdAutoResume::NetworkChanged(bool up)
{
    m_cameBack = m_cameBack || (up && !m_up);
    m_up = up;
}

std::vector<DownloadTaskParam_t> NdAutoResume::Due(qint64 nowMs)
{
    std::vector<DownloadTaskParam_t> due;
    const bool cameBack = m_cameBack;
    m_cameBack = false;
    for (auto it = m_waiting.begin(); it != m_waiting.end();) {
        int& timed = m_timedStarts[it->first];
        const bool paused = m_up && timed < kMaxTimedStarts && nowMs - it->second.FailedAtMs >= PauseMs(timed);
        if (!cameBack && !paused) {
            ++it;
            continue;
        }
        // Only the starts while the network stays up are counted: a network
        // that comes and goes overnight must not use them up.
        if (!cameBack)
            ++timed;
        due.push_back(it->second.Record);
        it = m_waiting.erase(it);
    }
    return due;
}
