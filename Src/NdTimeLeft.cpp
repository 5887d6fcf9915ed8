#include "NdTimeLeft.h"

#include <cmath>

void NdTimeLeft::Restart(qint64 nowMs, double downloadedMb)
{
    StartMs = nowMs;
    LastMs = nowMs;
    LastMb = downloadedMb;
    MbPerMs = -1.0;
}

void NdTimeLeft::Update(qint64 nowMs, double downloadedMb)
{
    if (StartMs < 0) {
        Restart(nowMs, downloadedMb);
        return;
    }
    const qint64 elapsed = nowMs - LastMs;
    if (elapsed <= 0)
        return;
    const double sample = qMax(0.0, downloadedMb - LastMb) / static_cast<double>(elapsed);
    // The weight of the new sample grows with the time it covers.
    const double weight = 1.0 - std::exp(-static_cast<double>(elapsed) / kSmoothingMs);
    MbPerMs = MbPerMs < 0.0 ? sample : MbPerMs + weight * (sample - MbPerMs);
    LastMs = nowMs;
    LastMb = downloadedMb;
}

qint64 NdTimeLeft::SecondsLeft(qint64 nowMs, double totalMb, double downloadedMb) const
{
    if (totalMb <= 0.0 || MbPerMs <= 0.0 || StartMs < 0 || nowMs - StartMs < kSettleMs)
        return -1;
    const double leftMs = qMax(0.0, totalMb - downloadedMb) / MbPerMs;
    return static_cast<qint64>(std::ceil(leftMs / 1000.0));
}
