#pragma once

#include <QString>

#include <functional>
#include <string>
#include <vector>

// Brings a lesson's playlist and its AES keys into the task folder, through
// the verified client and with retries for transient failures, and reads the
// playlist from there again: a resumed task needs no network for it. Beside
// the playlist the folder then holds the address that finally answered
// ("playlist.url"), the keys ("filelist.key-<hash>"), the local playlist that
// ffmpeg merges from ("filelist.m3u8") and the playlist's length in seconds
// ("filelist.duration").
class NdPlaylistFetch
{
public:
    using CompleteFn = std::function<void()>;
    using ProgressFn = std::function<void(long long received, long long total)>;

    // Fetches the playlist, following a master playlist to its best variant,
    // and returns once it has arrived or failed for good; an error page never
    // stays behind as the playlist. onComplete runs once the transfer has
    // ended, and not at all when the local file cannot be made.
    static void Download(
        const std::string& m3u8Url, const std::string& folder, CompleteFn onComplete, ProgressFn onProgress);
    // The same on a thread of its own; onComplete runs on the calling thread's
    // event loop.
    static void DownloadInBackground(const std::string& m3u8Url, const std::string& folder, CompleteFn onComplete);
    // Reads the fetched playlist into its segment addresses, writes the local
    // playlist and the length, and fetches the keys not yet in the folder.
    // False when there is no playlist to read; true with no segments when it
    // names none, or one of its keys cannot be had (one log line each).
    static bool Parse(const std::string& folder, const std::string& m3u8Url, std::vector<std::string>& segments);
    // Where the playlist of that address is kept in a task folder.
    static QString PlaylistPath(const QString& folder, const QString& m3u8Url);
};
