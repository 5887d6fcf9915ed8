// The playlist as it arrives from a content server: split into segment
// addresses, "filelist.m3u8" written for a key line (the keys themselves are
// not fetched here), and a master playlist's variant chosen.
//
// Input: the playlist's address on the first line, the playlist text after it.
#include "NdDownloaderBackEndImpl.h"
#include "NdFuzzKit.h"

#include <QFile>

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QString folder = NdFuzzScratchDir(QStringLiteral("~NdTemp/{fuzz}"));
    static NdDownloaderBackEndImpl backEnd;

    const QByteArray input = NdFuzzBytes(data, size);
    const QByteArray address = input.left(input.indexOf('\n'));
    const std::string text = input.mid(address.size() + 1).toStdString();
    // (The QByteArray overload of fromUtf8 would stop at a NUL; the backend takes the whole address.)
    const QString playlistPath
        = NdDownloaderBackEndImpl::LocalPlaylistPath(folder, QString::fromUtf8(address.constData(), address.size()));
    QFile::remove(NdDownloaderBackEndImpl::EncryptedPlaylistPath(playlistPath));

    std::vector<std::string> segments;
    backEnd.FormatPlaylist(playlistPath.toStdString(), text, address.toStdString(), segments);
    // Each address becomes one line of the local playlist and one request.
    for (const std::string& segment : segments)
        ND_FUZZ_CHECK(segment.find_first_of("\r\n") == std::string::npos);

    const std::string variant = NdDownloaderBackEndImpl::MasterPlaylistVariant(text);
    // One whole entry, never a tag; a CR inside it is part of the address (the request encodes it).
    ND_FUZZ_CHECK(variant.find('\n') == std::string::npos && (variant.empty() || variant.front() != '#'));
    return 0;
}
