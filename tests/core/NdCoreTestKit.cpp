#include "NdCoreTestKit.h"

DownloadTaskParam_t NdMakeTask(const QString& id, int state)
{
    const std::string name = id.toStdString();
    DownloadTaskParam_t task;
    task.AppId = "app-" + name;
    task.UserId = "user-" + name;
    task.VideoM3U8Url = "http://127.0.0.1/" + name + ".m3u8";
    task.VideoName = "Lesson " + name;
    task.VideoFileSize = 300.5f;
    task.VideoDownloadFileSize = 12.25f;
    task.VideoTranscodeFileSize = 0.1f;
    task.VideoDuration = 1800;
    task.VideoTempPath = "/downloads/~NdTemp/" + name;
    task.VideoDownloadPath = "/downloads";
    task.VideoState = state;
    return task;
}
