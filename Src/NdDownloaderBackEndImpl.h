#pragma once

#include "INdDownloaderBackEnd.h"

#include <QMutex>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <string>
#include <vector>

// An AES key that a playlist names, and the file of the task folder that holds it.
struct NdPlaylistKey_t
{
    std::string Address;
    QString LocalName;
};

// What the playlist step learns from a media playlist besides its segments.
struct NdPlaylistFacts_t
{
    std::vector<NdPlaylistKey_t> Keys;
    double Seconds = 0.0; // the sum of the #EXTINF durations
};

// The backend singleton: server queries, playlists, segment fetch, assembly with
// ffmpeg, task deletion and reporting. Reached only through
// INdDownloaderBackEnd::GetInstance().
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

    // Hardware address of the first running non-loopback interface, or "".
    QString GetHostMacAddress();
    // Turns playlist text into absolute segment addresses, resolved against
    // m3u8Url; writes "filelist.m3u8" beside playlistPath for encrypted streams,
    // its key lines naming files of the task folder. Touches no network.
    void M3U8StringFormat(const std::string& playlistPath, const std::string& text, const std::string& m3u8Url,
        std::vector<std::string>& segments);
    NdPlaylistFacts_t FormatPlaylist(const std::string& playlistPath, const std::string& text,
        const std::string& m3u8Url, std::vector<std::string>& segments);
    // The entry of a master playlist's best variant (highest BANDWIDTH), as
    // written; "" when the text is a media playlist or names no variant.
    static std::string MasterPlaylistVariant(const std::string& text);
    // Writes "filelist.m3u8" beside playlistPath: tag lines as given, segment
    // lines replaced by the numbered local files.
    bool SaveDrmM3U8File(const std::string& playlistPath, const std::vector<std::string>& lines);

    // File names inside a task folder.
    static QString LocalPlaylistName(const QString& m3u8Url);
    static QString LocalPlaylistPath(const QString& folder, const QString& m3u8Url);
    static QString PlaylistAddressFilePath(const QString& folder);
    // Where ffmpeg is taken from: the program's folder, else the PATH.
    static QString FfmpegPath();
    // ffmpeg's arguments for a merge: the HLS form when localPlaylist is not
    // empty, the concat-list form otherwise.
    static QStringList FfmpegArguments(const QString& localPlaylist, const QString& listFile, const QString& output);
    // The "filelist.m3u8" that belongs with a playlist or list file.
    static QString EncryptedPlaylistPath(const QString& siblingPath);

private:
    // Fetches the keys not yet in the folder through the verified client;
    // false, with one log line, when one cannot be had as 16 bytes, or would
    // come over plain http for an https playlist.
    bool FetchKeys(const QString& folder, const std::vector<NdPlaylistKey_t>& keys, const QUrl& playlistAddress);
    std::string BuildReportDocument(const DownloadTaskParam_t& task, int type, const std::string& message);
    void CacheIds(const std::string& userId, const std::string& appId);
    void CachedIds(std::string& userId, std::string& appId) const;

    QMutex m_TranscodingLock;
    std::string CachedUserId; // guarded by m_IdLock
    std::string CachedAppId;  // guarded by m_IdLock
    mutable QMutex m_IdLock;
};
