#pragma once

#include "INdDownloaderBackEnd.h"
#include "NdReporter.h"

#include <string>
#include <vector>

// The backend singleton, reached only through INdDownloaderBackEnd::GetInstance():
// one face over the classes that do the work, NdServerQuery (the admin server),
// NdPlaylistFetch (playlists), NdSegmentFetch (segments), NdConverter
// (assembly), NdTaskFolder (a task's files) and NdReporter (reports).
class NdDownloaderBackEndImpl : public NdDownloaderInterface::INdDownloaderBackEnd
{
public:
    NdDownloaderBackEndImpl();
    ~NdDownloaderBackEndImpl() override;

    bool GetDownloadTaskByToken(const std::string& token, std::vector<DownloadTaskParam_t>& tasks) override;
    bool M3U8Parse(const std::string& folder, const std::string& m3u8Url, std::vector<std::string>& segments) override;
    void DownloadM3U8File(const std::string& m3u8Url, const std::string& folder, CompleteFn onComplete) override;
    void DownloadM3U8FileSync(
        const std::string& m3u8Url, const std::string& folder, CompleteFn onComplete, ProgressFn onProgress) override;
    void DownloadTsFile(const std::string& tsUrl, const std::string& filePath, SuccessFn onSuccess, FailFn onFail,
        ProgressFn onProgress, QNetworkAccessManager* manager) override;
    void GetSoftVersion(NdSoftVersion_t& version) override;
    bool TranscodingVideo(const std::string& listFile, const std::string& outputFile) override;
    bool CreateFileList(const std::string& folder) override;
    bool MoveVideo(const std::string& source, const std::string& destination) override;
    void DeleteTask(const DownloadTaskParam_t& task, bool deleteLocalFile) override;
    void ReportInfo(const DownloadTaskParam_t& task, int type, std::string message, bool async) override;

private:
    NdReporter Reporter;
};
