#include "NdCore/NdStopScope.h"

namespace {
thread_local const NdStopScope* t_innermost = nullptr;
} // namespace

NdStopScope::NdStopScope(CheckFn shouldStop) : ShouldStop(std::move(shouldStop)), Outer(t_innermost)
{
    t_innermost = this;
}

NdStopScope::~NdStopScope()
{
    t_innermost = Outer;
}

bool NdStopScope::StopRequested()
{
    return t_innermost && t_innermost->ShouldStop && t_innermost->ShouldStop();
}
