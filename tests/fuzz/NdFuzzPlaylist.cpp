// The playlist as it arrives from a content server: split into segment
// addresses and the local playlist of a key line (the keys themselves are not
// fetched here), and a master playlist's variant chosen.
//
// Input: the playlist's address on the first line, the playlist text after it.
#include "NdFuzzKit.h"
#include "NdPlaylistText.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input = NdFuzzBytes(data, size);
    const QByteArray address = input.left(input.indexOf('\n'));
    const std::string text = input.mid(address.size() + 1).toStdString();

    const NdPlaylistFacts_t facts = NdPlaylistText::Read(text, address.toStdString());
    // Each address becomes one line of the local playlist and one request.
    for (const std::string& segment : facts.Segments)
        ND_FUZZ_CHECK(segment.find_first_of("\r\n") == std::string::npos);
    ND_FUZZ_CHECK(facts.Segments.size() <= NdPlaylistText::kMaxSegments);

    const std::string variant = NdPlaylistText::MasterPlaylistVariant(text);
    // One whole entry, never a tag; a CR inside it is part of the address (the request encodes it).
    ND_FUZZ_CHECK(variant.find('\n') == std::string::npos && (variant.empty() || variant.front() != '#'));
    return 0;
}
