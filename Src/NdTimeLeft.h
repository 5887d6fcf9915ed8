#pragma once

#include <QtGlobal>

// How long a download has left, from a smoothed speed: an exponential moving
// average over about the last ten seconds of figures, so that the estimate
// does not jump from one report to the next. One per task; no clock of its
// own, the caller passes the time.
class NdTimeLeft
{
public:
    // No estimate in the first seconds of a run: too little has been seen.
    static constexpr qint64 kSettleMs = 3000;
    static constexpr double kSmoothingMs = 10000.0;

    // A run begins (or resumes): the speed is learnt anew from here.
    void Restart(qint64 nowMs, double downloadedMb);
    // New figures of the run.
    void Update(qint64 nowMs, double downloadedMb);
    // Whole seconds left for the rest of totalMb; -1 while no estimate is
    // sound: early in a run, before a speed was seen, or for an unknown size.
    qint64 SecondsLeft(qint64 nowMs, double totalMb, double downloadedMb) const;

private:
    qint64 StartMs = -1;
    qint64 LastMs = -1;
    double LastMb = 0.0;
    double MbPerMs = -1.0; // the smoothed speed; negative until the first sample
};
