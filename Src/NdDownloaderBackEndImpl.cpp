#include "NdDownloaderBackEndImpl.h"

#include "NdConverter.h"
#include "NdPlaylistFetch.h"
#include "NdSegmentFetch.h"
#include "NdServerQuery.h"
#include "NdTaskFolder.h"

#include "NdCore/NdCacheManager.h"
#include "NdCore/NdCommHelper.h"

#include <QFileInfo>

using NdDownloaderInterface::INdDownloaderBackEnd;

INdDownloaderBackEnd* INdDownloaderBackEnd::GetInstance()
{
    // Never destroyed: task threads may still use it while the process ends.
    static INdDownloaderBackEnd* const instance = new NdDownloaderBackEndImpl;
    return instance;
}

NdDownloaderBackEndImpl::NdDownloaderBackEndImpl() = default;

NdDownloaderBackEndImpl::~NdDownloaderBackEndImpl() = default;

// ---------------------------------------------------------------------------
// Server queries

bool NdDownloaderBackEndImpl::GetDownloadTaskByToken(const std::string& token, std::vector<DownloadTaskParam_t>& tasks)
{
    NdTokenAnswer_t answer;
    if (!NdServerQuery::AskTasksByToken(token, answer))
        return false;
    if (!answer.Tasks.empty())
        Reporter.CacheIds(answer.UserId, answer.AppId);
    tasks.insert(tasks.end(), answer.Tasks.begin(), answer.Tasks.end());
    return true;
}

void NdDownloaderBackEndImpl::GetSoftVersion(NdSoftVersion_t& version)
{
    NdServerQuery::AskSoftVersion(version);
}

// ---------------------------------------------------------------------------
// Playlists and segments

void NdDownloaderBackEndImpl::DownloadM3U8File(
    const std::string& m3u8Url, const std::string& folder, CompleteFn onComplete)
{
    NdPlaylistFetch::DownloadInBackground(m3u8Url, folder, std::move(onComplete));
}

void NdDownloaderBackEndImpl::DownloadM3U8FileSync(
    const std::string& m3u8Url, const std::string& folder, CompleteFn onComplete, ProgressFn onProgress)
{
    NdPlaylistFetch::Download(m3u8Url, folder, std::move(onComplete), std::move(onProgress));
}

bool NdDownloaderBackEndImpl::M3U8Parse(
    const std::string& folder, const std::string& m3u8Url, std::vector<std::string>& segments)
{
    return NdPlaylistFetch::Parse(folder, m3u8Url, segments);
}

void NdDownloaderBackEndImpl::DownloadTsFile(const std::string& tsUrl, const std::string& filePath, SuccessFn onSuccess,
    FailFn onFail, ProgressFn onProgress, QNetworkAccessManager* manager)
{
    NdSegmentFetch::Download(tsUrl, filePath, onSuccess, onFail, onProgress, manager);
}

// ---------------------------------------------------------------------------
// Assembly

bool NdDownloaderBackEndImpl::CreateFileList(const std::string& folder)
{
    return NdConverter::WriteConcatList(NdCommHelper::FromUtf8(folder));
}

bool NdDownloaderBackEndImpl::TranscodingVideo(const std::string& listFile, const std::string& outputFile)
{
    if (listFile.empty() || outputFile.empty())
        return false;
    return NdConverter::Merge(NdCommHelper::FromUtf8(listFile), NdCommHelper::FromUtf8(outputFile));
}

bool NdDownloaderBackEndImpl::MoveVideo(const std::string& source, const std::string& destination)
{
    const QFileInfo from(NdCommHelper::FromUtf8(source));
    return NdTaskFolder::At(from.absolutePath()).MoveVideo(from.fileName(), NdCommHelper::FromUtf8(destination));
}

// ---------------------------------------------------------------------------
// Deletion and reports

void NdDownloaderBackEndImpl::DeleteTask(const DownloadTaskParam_t& task, bool deleteLocalFile)
{
    if (!task.VideoTempPath.empty())
        NdTaskFolder(task).Remove();
    if (deleteLocalFile)
        NdTaskFolder::DeleteVideo(task);
    NdCacheManager::GetInstance()->DeleteOneDownloadTask(task);
}

void NdDownloaderBackEndImpl::ReportInfo(const DownloadTaskParam_t& task, int type, std::string message, bool async)
{
    Reporter.Send(task, type, message, async);
}
