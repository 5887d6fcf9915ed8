#pragma once

#include "NdCore/NdCacheManager.h"

#include <QMutex>

#include <json/value.h>

#include <atomic>
#include <functional>
#include <string>

// The store behind NdCacheManager::GetInstance(). Every call reads, rewrites and closes its
// file completely; nothing is kept in memory between calls.
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

private:
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
    void WriteSetting(const char* fileName, const char* key, const Json::Value& value) const;

    NdReadResult ReadTaskList(Json::Value& list);
    void NoteTaskFileReadable(bool readable);
    void ChangeTaskList(const std::function<void(Json::Value& list)>& change);
    void ChangeTaskMember(const std::string& tempPath, const char* key, const Json::Value& value);
    bool LoadTaskListForChange(Json::Value& list);
    bool SetDamagedTaskFileAside() const;
    void RemoveTaskFile() const;

    std::string m_strDataDir;
    QMutex m_taskFileLock; // held for every read-modify-write of the task file
    std::atomic<bool> m_bTaskFileUnreadable{false};
};
