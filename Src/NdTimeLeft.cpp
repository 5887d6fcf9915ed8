#include "NdTimeLeft.h"

#include <cmath>

void NdTimeLeft::Restart(qint64 nowMs, double downloadedMb)
{
    m_startMs = nowMs;
    m_lastMs = nowMs;
    m_lastMb = downloadedMb;
    m_mbPerMs = -1.0;
}

void NdTimeLeft::Update(qint64 nowMs, double downloadedMb)
{
    if (m_startMs < 0) {
        Restart(nowMs, downloadedMb);
        return;
    }
    const qint64 elapsed = nowMs - m_lastMs;
    if (elapsed <= 0)
        return;
    const double sample = qMax(0.0, downloadedMb - m_lastMb) / static_cast<double>(elapsed);
    // The weight of the new sample grows with the time it covers.
    const double weight = 1.0 - std::exp(-static_cast<double>(elapsed) / kSmoothingMs);
    m_mbPerMs = m_mbPerMs < 0.0 ? sample : m_mbPerMs + weight * (sample - m_mbPerMs);
    m_lastMs = nowMs;
    m_lastMb = downloadedMb;
}

qint64 NdTimeLeft::SecondsLeft(qint64 nowMs, double totalMb, double downloadedMb) const
{
    if (totalMb <= 0.0 || m_mbPerMs <= 0.0 || m_startMs < 0 || nowMs - m_startMs < kSettleMs)
        return -1;
    const double leftMs = qMax(0.0, totalMb - downloadedMb) / m_mbPerMs;
    return static_cast<qint64>(std::ceil(leftMs / 1000.0));
}
