#include "NdCore/NdDownloadTaskParam.h"

DownloadTaskParam_t::DownloadTaskParam_t()
    : VideoFileSize(0.0f)
    , VideoDownloadFileSize(0.0f)
    , VideoTranscodeFileSize(0.0f)
    , VideoDuration(0)
    , VideoState(Wait)
    , TaskItem(nullptr)
{ }

DownloadTaskParam_t::DownloadTaskParam_t(const DownloadTaskParam_t& other) = default;
DownloadTaskParam_t& DownloadTaskParam_t::operator=(const DownloadTaskParam_t& other) = default;
DownloadTaskParam_t::~DownloadTaskParam_t() = default;

bool DownloadTaskParam_t::IsBlank() const
{
    return VideoTempPath.empty() && VideoDownloadPath.empty() && VideoName.empty();
}

namespace {
struct StateInfo
{
    const char* TextKey;
    const char* Style;
};

const StateInfo kStates[] = {
    {"NdDownloader.LineUping", "wait"},
    {"NdDownloader.Paused", "pause"},
    {"NdDownloader.Downloading", "downloading"},
    {"NdDownloader.DownloadFinished", "downloaded"},
    {"NdDownloader.FailedAndRetry", "fail"},
    {"NdDownloader.Transcoding", "transcoding"},
    {"NdDownloader.DownloadFinished", "downloaded"},
    {"NdDownloader.PauseByInsufficientStorageSpace", "noDisk"},
    {"NdDownloader.MissFile", "fail"},
};
const StateInfo kUnknownState = {"", ""};

const StateInfo& InfoOf(int state)
{
    const int count = static_cast<int>(sizeof(kStates) / sizeof(kStates[0]));
    return (state >= 0 && state < count) ? kStates[state] : kUnknownState;
}
} // namespace

const char* NdDownloadStateTextKey(int state)
{
    return InfoOf(state).TextKey;
}

const char* NdDownloadStateStyle(int state)
{
    return InfoOf(state).Style;
}
