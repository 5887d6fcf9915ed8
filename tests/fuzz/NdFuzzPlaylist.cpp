// The playlist as it arrives from a content server: split into segment
// addresses and the local playlist that ffmpeg merges from (the keys
// themselves are not fetched here), and a master playlist's variant chosen.
//
// Input: the playlist's address on the first line, the playlist text after it.
#include "NdFuzzKit.h"
#include "NdPlaylistText.h"

#include <QList>

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input = NdFuzzBytes(data, size);
    const QByteArray address = input.left(input.indexOf('\n'));
    const std::string text = input.mid(address.size() + 1).toStdString();

    const NdPlaylistFacts_t facts = NdPlaylistText::Read(text, address.toStdString());
    // Each address is one request.
    for (const std::string& segment : facts.Segments)
        ND_FUZZ_CHECK(segment.find_first_of("\r\n") == std::string::npos);
    ND_FUZZ_CHECK(facts.Segments.size() <= NdPlaylistText::kMaxSegments);
    // ffmpeg merges the numbered files alone, each after its own #EXTINF, and
    // takes every other line for a tag; the end tag tells it that no more come.
    const QList<QByteArray> lines = facts.LocalPlaylist.split('\n');
    ND_FUZZ_CHECK(facts.LocalPlaylist.isEmpty()
        || (lines.first() == "#EXTM3U" && lines.at(lines.size() - 2) == "#EXT-X-ENDLIST" && lines.last().isEmpty()));
    int files = 0;
    bool timed = false;
    for (const QByteArray& line : lines.mid(1, lines.size() - 3)) {
        ND_FUZZ_CHECK(
            !line.contains('\r') && (line.startsWith('#') || (timed && line == QByteArray::number(++files) + ".ts")));
        timed = line.startsWith("#EXTINF:") || (timed && line.startsWith('#'));
    }
    ND_FUZZ_CHECK(static_cast<size_t>(files) <= facts.Segments.size());

    const std::string variant = NdPlaylistText::MasterPlaylistVariant(text);
    // One whole entry, never a tag; a CR inside it is part of the address (the request encodes it).
    ND_FUZZ_CHECK(variant.find('\n') == std::string::npos && (variant.empty() || variant.front() != '#'));
    return 0;
}
