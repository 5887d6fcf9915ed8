#pragma once

#include "NdCore/NdCoreExport.h"

#include <cstdint>
#include <string>

class NdTaskItem;

// Download state of a task, stored as an integer in DownloadTaskParam_t::VideoState.
enum NdDownloadState
{
    Wait = 0,
    Paused = 1,
    Downloading = 2,
    Downloaded = 3,
    Failed = 4,
    Transcoding = 5,
    Finished = 6,
    NoDisk = 7,
    MissFile = 8,
};

// The one record that describes a download task (one video). A plain value type:
// every holder keeps its own copy. A task is identified by VideoTempPath.
struct NDCORE_EXPORT DownloadTaskParam_t
{
    DownloadTaskParam_t();
    DownloadTaskParam_t(const DownloadTaskParam_t& other);
    DownloadTaskParam_t& operator=(const DownloadTaskParam_t& other);
    ~DownloadTaskParam_t();

    // True for a record whose VideoTempPath, VideoDownloadPath and VideoName are
    // all empty: a task thread blanks its record when it ends.
    bool IsBlank() const;

    std::string AppId;
    std::string UserId;
    std::string VideoM3U8Url;
    std::string VideoName;
    float VideoFileSize;          // MiB expected, from the server
    float VideoDownloadFileSize;  // MiB downloaded so far
    float VideoTranscodeFileSize; // decimal MB of the finished .mp4
    int32_t VideoDuration;
    std::string VideoTempPath;
    std::string VideoDownloadPath;
    int32_t VideoState;
    NdTaskItem* TaskItem; // not owned, never stored
};

// Language key of a state's display text ("" outside 0..8).
NDCORE_EXPORT const char* NdDownloadStateTextKey(int state);
// Value of the "downloadState" style property for a state ("" outside 0..8).
NDCORE_EXPORT const char* NdDownloadStateStyle(int state);
