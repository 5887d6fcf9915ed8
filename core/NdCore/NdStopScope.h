#pragma once

#include "NdCore/NdCoreExport.h"

#include <functional>

// Tells the long waits of one thread when to give up: while a scope lives on
// a thread, the synchronous transfers, the waits between their tries and the
// converter runs of that thread ask its check every tenth of a second and end
// as soon as it says stop. A thread that pauses, is deleted or quits thus
// never waits for a slow server. Scopes nest; the innermost one counts.
class NDCORE_EXPORT NdStopScope
{
public:
    using CheckFn = std::function<bool()>;

    explicit NdStopScope(CheckFn shouldStop);
    ~NdStopScope();
    NdStopScope(const NdStopScope&) = delete;
    NdStopScope& operator=(const NdStopScope&) = delete;

    // Whether the calling thread's innermost scope says stop; false without one.
    static bool StopRequested();
    // How often a waiting thread asks.
    static constexpr int kCheckIntervalMs = 100;

private:
    const CheckFn ShouldStop;
    const NdStopScope* const Outer;
};
