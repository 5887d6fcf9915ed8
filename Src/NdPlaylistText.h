#pragma once

#include <QByteArray>
#include <QString>

#include <string>
#include <vector>

// An AES key that a playlist names, and the file of the task folder that holds it.
struct NdPlaylistKey_t
{
    std::string Address;
    QString LocalName;
};

// What a media playlist says, read from its text alone.
struct NdPlaylistFacts_t
{
    std::vector<std::string> Segments; // absolute addresses, in playlist order
    std::vector<NdPlaylistKey_t> Keys;
    double Seconds = 0.0; // the sum of the #EXTINF durations
    // What ffmpeg merges from: the playlist with the numbered segment files of
    // the task folder and its key files. Empty for a plain stream with
    // discontinuities, which is merged from the concat list.
    QByteArray LocalPlaylist;
    QString Problem; // why no segment is taken, for the log; empty when none is refused
};

// Reads the playlists that the content servers send. Pure functions of the
// text, without disk or network, so that the fetch, the tests and the fuzz
// target go through the same rules: relative entries resolved as RFC 3986
// says, CRLF and a missing last line feed taken in stride, tags and "#"
// comments never taken for segments, fMP4 and byte ranges refused.
class NdPlaylistText
{
public:
    // More segments than this are not taken from one playlist.
    static constexpr size_t kMaxSegments = 200000;

    // A media playlist's facts; entries are resolved against address, the
    // address that finally answered.
    static NdPlaylistFacts_t Read(const std::string& text, const std::string& address);
    // The entry of a master playlist's best variant (highest BANDWIDTH, the
    // first on a tie), as written; "" for a media playlist or none named.
    static std::string MasterPlaylistVariant(const std::string& text);
    // An entry resolved against the address of its playlist.
    static std::string Resolve(const std::string& address, const std::string& entry);
    // The file a playlist is stored as in its task folder: the address's last
    // component without query, never one of the folder's own names nor a
    // segment file's.
    static QString LocalName(const QString& m3u8Url);
};
