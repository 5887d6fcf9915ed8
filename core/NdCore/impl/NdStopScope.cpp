#include "NdCore/NdStopScope.h"

namespace {
thread_local const NdStopScope* t_innermost = nullptr;
} // namespace

NdStopScope::NdStopScope(CheckFn shouldStop) : m_shouldStop(std::move(shouldStop)), m_outer(t_innermost)
{
    t_innermost = this;
}

NdStopScope::~NdStopScope()
{
    t_innermost = m_outer;
}

bool NdStopScope::StopRequested()
{
    return t_innermost && t_innermost->m_shouldStop && t_innermost->m_shouldStop();
}
