// The playlist as it arrives from a content server: split into segment
// addresses, "filelist.m3u8" written for a key line (the keys themselves are
// not fetched here), and a master playlist's variant chosen.
//
// Input: the playlist's address on the first line, the playlist text after it.
#include "NdDownloaderBackEndImpl.h"
#include "NdFuzzKit.h"

#include <QDir>
#include <QFile>

#include <string>
#include <vector>

namespace {
QString TaskFolder()
{
    const QString folder = NdFuzzScratchDir() + QStringLiteral("/~NdTemp/{fuzz}");
    ND_FUZZ_CHECK(QDir().mkpath(folder));
    return folder;
}

bool HasLineBreak(const std::string& text)
{
    return text.find_first_of("\r\n") != std::string::npos;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QString folder = TaskFolder();
    static NdDownloaderBackEndImpl backEnd;

    const QByteArray input = NdFuzzBytes(data, size);
    const int firstLineEnd = input.indexOf('\n');
    const QByteArray address = firstLineEnd < 0 ? input : input.left(firstLineEnd);
    const QByteArray text = firstLineEnd < 0 ? QByteArray() : input.mid(firstLineEnd + 1);

    // (The QByteArray overload of fromUtf8 would stop at a NUL; the backend takes the whole address.)
    const QString url = QString::fromUtf8(address.constData(), address.size());
    const QString playlistPath = NdDownloaderBackEndImpl::LocalPlaylistPath(folder, url);
    QFile::remove(NdDownloaderBackEndImpl::EncryptedPlaylistPath(playlistPath));

    std::vector<std::string> segments;
    backEnd.FormatPlaylist(playlistPath.toStdString(), text.toStdString(), address.toStdString(), segments);
    // Each address becomes one line of the local playlist and one request.
    for (const std::string& segment : segments)
        ND_FUZZ_CHECK(!HasLineBreak(segment));

    const std::string variant = NdDownloaderBackEndImpl::MasterPlaylistVariant(text.toStdString());
    // One whole entry, never a tag; a CR inside it is part of the address (the request encodes it).
    ND_FUZZ_CHECK(variant.find('\n') == std::string::npos && (variant.empty() || variant.front() != '#'));

    return 0;
}
