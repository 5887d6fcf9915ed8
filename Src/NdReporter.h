#pragma once

#include "NdCore/NdDownloadTaskParam.h"

#include <QMutex>
#include <QString>

#include <string>

// The reports to the platform's reporting service: one JSON document per
// event (the program's start, every download outcome, the clicks), posted to
// the reporting address of the current environment and never read back. A
// record without its own AppId is reported with the ids of the last token
// query that granted videos.
class NdReporter
{
public:
    // Keeps the ids of a token query's answer for the records without their own.
    void CacheIds(const std::string& userId, const std::string& appId);
    // Sends one report of that NdReportType: synchronously, or else without
    // waiting, fired from the application's thread.
    void Send(const DownloadTaskParam_t& task, int type, const std::string& message, bool async) const;

    // Hardware address of the first running non-loopback interface, or "".
    static QString GetHostMacAddress();

private:
    std::string BuildReportDocument(const DownloadTaskParam_t& task, int type, const std::string& message) const;
    void CachedIds(std::string& userId, std::string& appId) const;

    std::string CachedUserId; // guarded by IdLock
    std::string CachedAppId;  // guarded by IdLock
    mutable QMutex IdLock;
};

// Sends one click report for a button without a task, through the backend.
void NdReportClick(const char* event);
