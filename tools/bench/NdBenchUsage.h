#pragma once

// What the benchmarks read of their own (or their children's) resource use.
#include <sys/resource.h>

// User and system CPU seconds of RUSAGE_SELF or RUSAGE_CHILDREN.
inline double NdCpuSeconds(int who = RUSAGE_SELF)
{
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000000.0;
}

inline long NdPeakRssMb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}
