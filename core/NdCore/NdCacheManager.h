#pragma once

#include "NdCore/NdCoreExport.h"
#include "NdCore/NdDownloadTaskParam.h"

#include <string>
#include <vector>

// Server environment kept in "NdConfig.bin".
enum NdBackEndEnvironment
{
    Production = 0,
    InternalTest = 1,
    Test = 2,
};

// The persistent store: four small JSON files in the application data folder.
class NDCORE_EXPORT NdCacheManager
{
public:
    virtual void SaveOneDownloadTask(const DownloadTaskParam_t& task) = 0;
    virtual void DeleteOneDownloadTask(const DownloadTaskParam_t& task) = 0;
    virtual void UpdateOneDownloadTask(const DownloadTaskParam_t& task) = 0;
    virtual void UpdateTaskState(const std::string& tempPath, int state) = 0;
    // Renames the task with that working folder: its video had to take
    // another free name, and the record follows the file.
    virtual void UpdateVideoName(const std::string& tempPath, const std::string& videoName) = 0;
    virtual void ClearDownloadTasks() = 0;
    virtual bool GetDownloadTasks(std::vector<DownloadTaskParam_t>& tasks) = 0;
    virtual int GetBackEndEnvironment() = 0;
    virtual void SetBackEndEnvironment(int environment) = 0;
    virtual void SetIsCrash(bool isCrash) = 0;
    virtual bool GetIsCrash() = 0;
    virtual void GetLastDownloadPath(std::string& path) = 0;
    virtual void SetLastDownloadPath(const std::string& path) = 0;
    // True when the task file exists but could not be read the last time it was
    // read. Until it can be read again, GetDownloadTasks returns false and every
    // change of the list is dropped: the file stays exactly as it is.
    virtual bool TaskFileUnreadable() = 0;
    // The task list is read once and then kept in memory. Figures of progress
    // alone are written at most once a second; any other change at once, with
    // them. Flush writes what is still held; the program calls it as it ends.
    virtual void Flush() = 0;
    // Drops what memory holds, so the next call reads the task file again:
    // for tools and tests that change the file behind the store's back.
    virtual void Reload() = 0;
    // Changes between BeginChanges and the matching EndChanges reach the file
    // together, in one write at the end: for many tasks at once, such as the
    // start-up's clean-up or removing the finished tasks. NdStoreChanges pairs them.
    virtual void BeginChanges() = 0;
    virtual void EndChanges() = 0;
    virtual ~NdCacheManager();

    static NdCacheManager* GetInstance();
};

// Holds the store's writes for as long as it lives: one write for many changes.
class NdStoreChanges
{
public:
    NdStoreChanges() { NdCacheManager::GetInstance()->BeginChanges(); }
    ~NdStoreChanges() { NdCacheManager::GetInstance()->EndChanges(); }
    NdStoreChanges(const NdStoreChanges&) = delete;
    NdStoreChanges& operator=(const NdStoreChanges&) = delete;
};
