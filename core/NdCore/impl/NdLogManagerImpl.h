#pragma once

#include "NdCore/NdCoreExport.h"
#include "NdCore/NdLogManager.h"

#include <QMutex>

#include <fstream>
#include <map>
#include <string>

// Writes the run's log file. Reached through NdLogManager::sm_pInstance.
class NDCORE_EXPORT NdLogManagerImpl
{
public:
    NdLogManagerImpl();
    virtual ~NdLogManagerImpl();
    NdLogManagerImpl(const NdLogManagerImpl&) = delete;
    NdLogManagerImpl& operator=(const NdLogManagerImpl&) = delete;

    // Makes the log folder, fills the level labels and creates (or empties) the run's file.
    void Init();
    // File name for the local time now: "YYYY-MM-DD-hh-mm-ss.log".
    std::string CreateLogFile();
    // Formats one line, appends it to the file, flushes it and echoes it to qDebug.
    void WirteLog(NdLogType type, const char* file, int line, const char* message);

private:
    std::string LevelLabel(NdLogType type) const;
    void EchoToDebug(NdLogType type, const char* file, int line, const char* message, const char* logLine) const;

    std::string LogDir;
    std::map<NdLogType, std::string> LevelLabels;
    std::fstream LogFile;
    // One lock around reading the clock, formatting and writing, so that lines from several
    // threads reach the file whole, one after the other, in time order.
    QMutex WriteLock;
};
