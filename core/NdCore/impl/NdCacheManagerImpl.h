#pragma once

#include "NdCore/NdCacheManager.h"

#include <QMutex>

#include <json/value.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

// The store behind NdCacheManager::GetInstance(). The task list is read on first use and
// kept in memory: rewriting the whole file for every few segments of every task cost more than the
// download itself once the list was long. The settings files are read and written whole on
// every call.
class NdCacheManagerImpl : public NdCacheManager
{
public:
    NdCacheManagerImpl();
    ~NdCacheManagerImpl() override;
    NdCacheManagerImpl(const NdCacheManagerImpl&) = delete;
    NdCacheManagerImpl& operator=(const NdCacheManagerImpl&) = delete;

    void SaveOneDownloadTask(const DownloadTaskParam_t& task) override;
    void DeleteOneDownloadTask(const DownloadTaskParam_t& task) override;
    void UpdateOneDownloadTask(const DownloadTaskParam_t& task) override;
    void UpdateTaskState(const std::string& tempPath, int state) override;
    void UpdateVideoName(const std::string& tempPath, const std::string& videoName) override;
    void ClearDownloadTasks() override;
    bool GetDownloadTasks(std::vector<DownloadTaskParam_t>& tasks) override;
    int GetBackEndEnvironment() override;
    void SetBackEndEnvironment(int environment) override;
    void SetIsCrash(bool isCrash) override;
    bool GetIsCrash() override;
    void GetLastDownloadPath(std::string& path) override;
    void SetLastDownloadPath(const std::string& path) override;
    bool TaskFileUnreadable() override;
    void Flush() override;
    void Reload() override;
    void BeginChanges() override;
    void EndChanges() override;

private:
    using NdClock = std::chrono::steady_clock;

    // When a change of the task list must reach the file.
    enum class NdWrite
    {
        Now,
        MayWait, // figures of progress alone: a resumed download counts its segments on disk
    };

    enum class NdReadResult
    {
        NoContent, // missing or empty
        Parsed,
        Damaged,    // not JSON, or not the shape the file must have
        Unreadable, // there, but not a regular file, or reading it failed
    };

    std::string FilePath(const char* fileName) const;
    NdReadResult ReadJsonFile(const char* fileName, Json::Value& root) const;
    bool WriteJsonFile(const char* fileName, const Json::Value& root) const;
    void WriteSetting(const char* fileName, const char* key, const Json::Value& value);

    NdReadResult ReadTaskList(Json::Value& list);
    void NoteTaskFileReadable(bool readable);
    bool LoadTaskList();
    void ForgetTaskList();
    void ChangeTaskList(const std::function<NdWrite(Json::Value& list)>& change);
    void ChangeTaskMember(const std::string& tempPath, const char* key, const Json::Value& value);
    void WriteTaskList();
    bool SetDamagedTaskFileAside() const;
    bool RemoveTaskFile() const;

    std::string DataDir;
    QMutex TaskListLock; // guards the members below and every write of the task file
    Json::Value TaskList;
    bool TaskListLoaded = false;   // false until read, and again after Reload or a failed write
    bool TaskListInFile = false;   // the file holds a list (not missing, empty or damaged)
    bool TaskFileDamaged = false;  // to be kept aside before the next write
    bool UnwrittenChanges = false; // memory is ahead of the file
    int HeldChanges = 0;           // BeginChanges not yet ended
    NdClock::time_point LastWrite = NdClock::time_point::min();
    std::atomic<bool> UnreadableTaskFile{false};
};
