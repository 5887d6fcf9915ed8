#pragma once

#include "NdCore/NdCommHelper.h"
#include "NdCore/NdCoreExport.h"

#include <string>

enum NdLogType
{
    LogError = 100,
    LogInfo = 200,
    LogWarn = 300,
    LogDebug = 400,
};

class NdLogManagerImpl;

// One log file per run in <AppDataLocation>/logs, one flushed line per Print.
class NDCORE_EXPORT NdLogManager
{
public:
    static void Install();
    static void UnInstall();
    static void Print(NdLogType type, const char* file, int line, const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 4, 5)))
#endif
        ;

    static NdLogManagerImpl* sm_pInstance;
};

#define ND_LOG(level, ...) NdLogManager::Print(level, __FILE__, __LINE__, __VA_ARGS__)
