#pragma once

#include "NdCore/NdDownloadTaskParam.h"

#include <QString>

#include <functional>
#include <string>
#include <vector>

class QNetworkAccessManager;

// Answer of the update check.
struct NdSoftVersion_t
{
    std::string Version;
    std::string Msg;
    std::string DownloadUrl;
    bool MustUpdate = false;
};

enum NdReportType
{
    DownloadReport = 0,
    ClickReport = 1,
};

namespace NdDownloaderInterface {

// The one object through which the windows and the engine reach the platform's
// server, playlists and segments, ffmpeg and the reporting service.
class INdDownloaderBackEnd
{
public:
    using CompleteFn = std::function<void()>;
    using ProgressFn = std::function<void(long long, long long)>;
    using SuccessFn = std::function<void(const QString&)>;
    using FailFn = std::function<void(const QString&, int)>;

    virtual ~INdDownloaderBackEnd() = default;

    virtual bool GetDownloadTaskByToken(const std::string& token, std::vector<DownloadTaskParam_t>& tasks) = 0;
    virtual bool M3U8Parse(const std::string& folder, const std::string& m3u8Url, std::vector<std::string>& segments)
        = 0;
    virtual void DownloadM3U8File(const std::string& m3u8Url, const std::string& folder, CompleteFn onComplete) = 0;
    virtual void DownloadM3U8FileSync(
        const std::string& m3u8Url, const std::string& folder, CompleteFn onComplete, ProgressFn onProgress)
        = 0;
    // manager: a long-lived manager of the calling thread, whose connection then
    // carries over to the thread's next segment; null: one of the segment's own.
    virtual void DownloadTsFile(const std::string& tsUrl, const std::string& filePath, SuccessFn onSuccess,
        FailFn onFail, ProgressFn onProgress, QNetworkAccessManager* manager)
        = 0;
    virtual void GetSoftVersion(NdSoftVersion_t& version) = 0;
    // True when ffmpeg ran, exited normally with code 0 and left an output file
    // that lasts as long as the playlist says.
    virtual bool TranscodingVideo(const std::string& listFile, const std::string& outputFile) = 0;
    virtual bool CreateFileList(const std::string& folder) = 0;
    virtual bool MoveVideo(const std::string& source, const std::string& destination) = 0;
    virtual void DeleteTask(const DownloadTaskParam_t& task, bool deleteLocalFile) = 0;
    virtual void ReportInfo(const DownloadTaskParam_t& task, int type, std::string message, bool async) = 0;

    static INdDownloaderBackEnd* GetInstance();
};

} // namespace NdDownloaderInterface
