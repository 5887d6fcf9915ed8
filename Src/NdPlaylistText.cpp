#include "NdPlaylistText.h"

#include "NdTaskFolder.h"

#include "NdCore/NdCommHelper.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QStringList>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <locale>
#include <sstream>

namespace {

bool Contains(const std::string& line, const char* part)
{
    return line.find(part) != std::string::npos;
}

bool StartsWith(const std::string& line, const char* prefix)
{
    return line.rfind(prefix, 0) == 0;
}

// Tags and "#" comments are never segments.
bool IsTagOrComment(const std::string& line)
{
    return Contains(line, "#EXT") || StartsWith(line, "#");
}

bool IsSegmentLine(const std::string& line)
{
    return !IsTagOrComment(line);
}

std::string WithoutTrailingCr(std::string line)
{
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

std::string Trimmed(const std::string& line)
{
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::string();
    const size_t last = line.find_last_not_of(" \t");
    return line.substr(first, last - first + 1);
}

// The playlist's lines without line ends and the blanks around them; blank
// lines carry nothing and are dropped.
std::vector<std::string> PlaylistLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = Trimmed(WithoutTrailingCr(text.substr(start, end - start)));
        if (!line.empty())
            lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::string ResolveUri(const QUrl& base, const std::string& uri)
{
    const QUrl reference(NdCommHelper::FromUtf8(Trimmed(uri)), QUrl::TolerantMode);
    return NdCommHelper::ToUtf8(base.resolved(reference).toString(QUrl::FullyEncoded));
}

// An attribute list ("METHOD=AES-128,URI=\"k\",IV=0x1") split at the commas
// that stand outside quotes, as players read it.
QStringList SplitAttributes(const QString& list)
{
    QStringList attributes;
    QString current;
    bool quoted = false;
    for (const QChar c : list) {
        if (c == QLatin1Char('"'))
            quoted = !quoted;
        if (c == QLatin1Char(',') && !quoted) {
            attributes << current;
            current.clear();
        } else {
            current += c;
        }
    }
    attributes << current;
    return attributes;
}

QString Unquoted(QString value)
{
    value = value.trimmed();
    if (value.size() >= 2 && value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"')))
        value = value.mid(1, value.size() - 2);
    return value;
}

// A key's file is named after its address, so a playlist fetched again with
// other keys never finds an old key under the new one's name.
QString KeyFileName(const std::string& address)
{
    const QByteArray digest = QCryptographicHash::hash(QByteArray::fromStdString(address), QCryptographicHash::Sha256);
    return QLatin1String(NdTaskFolder::kKeyFilePrefix) + QString::fromLatin1(digest.toHex().left(16));
}

// Points every URI attribute of a key line at a file in the task folder, so
// that ffmpeg merges offline; the keys themselves are fetched through the
// verified client. Quoted or not, and however often the attribute is given.
std::vector<NdPlaylistKey_t> LocaliseKeyUris(std::vector<std::string>& lines, const QUrl& base)
{
    std::vector<NdPlaylistKey_t> keys;
    for (std::string& line : lines) {
        const size_t colon = line.find(':');
        if (!Contains(line, "EXT-X-KEY") || colon == std::string::npos)
            continue;
        QStringList attributes = SplitAttributes(NdCommHelper::FromUtf8(line.substr(colon + 1)));
        for (QString& attribute : attributes) {
            const int equals = attribute.indexOf(QLatin1Char('='));
            if (equals < 0 || attribute.left(equals).trimmed() != QLatin1String("URI"))
                continue;
            const std::string address = ResolveUri(base, NdCommHelper::ToUtf8(Unquoted(attribute.mid(equals + 1))));
            const QString localName = KeyFileName(address);
            if (std::none_of(
                    keys.begin(), keys.end(), [&](const NdPlaylistKey_t& key) { return key.Address == address; }))
                keys.push_back({address, localName});
            attribute = QStringLiteral("URI=\"%1\"").arg(localName);
        }
        line = line.substr(0, colon + 1) + NdCommHelper::ToUtf8(attributes.join(QLatin1Char(',')));
    }
    return keys;
}

// Tags that name something to fetch besides the keys (alternative renditions,
// preload hints) are left out of the local playlist: ffmpeg would fetch them.
bool NamesRemoteResource(const std::string& line)
{
    return IsTagOrComment(line) && Contains(line, "URI=") && !Contains(line, "EXT-X-KEY");
}

// The sum of the segments' #EXTINF durations: how long the merged video must
// be. The local playlist ends at #EXT-X-ENDLIST, so its video does too.
double PlaylistSeconds(const std::vector<std::string>& lines, bool untilEndList)
{
    double seconds = 0.0;
    for (const std::string& line : lines) {
        if (untilEndList && Contains(line, "#EXT-X-ENDLIST"))
            break;
        if (!StartsWith(line, "#EXTINF:"))
            continue;
        std::istringstream stream(line.substr(8));
        stream.imbue(std::locale::classic());
        double duration = 0.0;
        if (stream >> duration && duration > 0.0 && std::isfinite(duration))
            seconds += duration;
    }
    return seconds;
}

const char* UnsupportedTag(const std::vector<std::string>& lines)
{
    static const char* const unsupported[] = {"#EXT-X-MAP", "#EXT-X-BYTERANGE", "#EXT-X-STREAM-INF"};
    for (const std::string& line : lines) {
        for (const char* tag : unsupported) {
            if (StartsWith(line, tag))
                return tag;
        }
    }
    return nullptr;
}

long long VariantBandwidth(const std::string& streamInf)
{
    const QRegularExpression bandwidth(QStringLiteral("[:,]\\s*BANDWIDTH=(\\d+)"));
    const QRegularExpressionMatch match = bandwidth.match(NdCommHelper::FromUtf8(streamInf));
    return match.hasMatch() ? match.captured(1).toLongLong() : 0;
}

// The variant with the highest BANDWIDTH, the first one on a tie; "" when none is named.
std::string ChooseVariant(const std::vector<std::string>& lines)
{
    std::string chosen;
    long long chosenBandwidth = -1;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (!StartsWith(lines[i], "#EXT-X-STREAM-INF"))
            continue;
        const long long bandwidth = VariantBandwidth(lines[i]);
        size_t uriLine = i + 1;
        while (uriLine < lines.size() && IsTagOrComment(lines[uriLine])
            && !StartsWith(lines[uriLine], "#EXT-X-STREAM-INF"))
            ++uriLine;
        if (uriLine >= lines.size() || IsTagOrComment(lines[uriLine]))
            continue;
        if (bandwidth > chosenBandwidth) {
            chosen = lines[uriLine];
            chosenBandwidth = bandwidth;
        }
    }
    return chosen;
}

bool IsDiscontinuity(const std::string& line)
{
    return line == "#EXT-X-DISCONTINUITY";
}

// What ffmpeg's HLS demuxer merges from: the tags, each segment replaced by its
// numbered file, up to #EXT-X-ENDLIST. Written so that the demuxer takes
// exactly these segments: it needs "#EXTM3U" first, skips a segment line
// without its own #EXTINF, reads a line that does not start with "#" as a
// segment, ends a line at a carriage return too, and takes a playlist without
// #EXT-X-ENDLIST for a live one, of which it merges the last three segments
// and then waits for more.
QByteArray LocalPlaylistText(const std::vector<std::string>& lines)
{
    QByteArray text = "#EXTM3U\n";
    int counter = 0;
    bool hasDuration = false;
    for (const std::string& line : lines) {
        if (Contains(line, "#EXT-X-ENDLIST"))
            break;
        if (IsSegmentLine(line)) {
            if (!hasDuration)
                text += "#EXTINF:0,\n";
            text += QByteArray::number(++counter) + ".ts\n";
            hasDuration = false;
        } else if (StartsWith(line, "#") && line != "#EXTM3U") {
            text += QByteArray::fromStdString(line).replace('\r', ' ') + '\n';
            hasDuration = hasDuration || StartsWith(line, "#EXTINF:");
        }
    }
    return text + "#EXT-X-ENDLIST\n";
}

} // namespace

NdPlaylistFacts_t NdPlaylistText::Read(const std::string& text, const std::string& address)
{
    NdPlaylistFacts_t facts;
    std::vector<std::string> lines = PlaylistLines(text.substr(0, text.find('\0')));
    if (lines.empty())
        return facts;
    if (const char* tag = UnsupportedTag(lines)) {
        facts.Problem = QStringLiteral("uses %1, which is not supported").arg(QLatin1String(tag));
        return facts;
    }
    const size_t count = static_cast<size_t>(std::count_if(lines.begin(), lines.end(), IsSegmentLine));
    if (count > kMaxSegments) {
        facts.Problem = QStringLiteral("names %1 segments, more than %2").arg(count).arg(kMaxSegments);
        return facts;
    }
    const QUrl base(NdCommHelper::FromUtf8(address), QUrl::TolerantMode);
    const bool encrypted
        = std::any_of(lines.begin(), lines.end(), [](const std::string& line) { return Contains(line, "EXT-X-KEY"); });
    // Only the HLS demuxer decrypts; across a discontinuity of a plain stream
    // the concat list is merged from instead.
    const bool local = encrypted || std::none_of(lines.begin(), lines.end(), IsDiscontinuity);
    lines.erase(std::remove_if(lines.begin(), lines.end(), NamesRemoteResource), lines.end());
    facts.Keys = LocaliseKeyUris(lines, base);
    facts.Seconds = PlaylistSeconds(lines, local);
    if (local)
        facts.LocalPlaylist = LocalPlaylistText(lines);
    for (const std::string& line : lines) {
        if (IsSegmentLine(line))
            facts.Segments.push_back(ResolveUri(base, line));
    }
    return facts;
}

std::string NdPlaylistText::MasterPlaylistVariant(const std::string& text)
{
    return ChooseVariant(PlaylistLines(text));
}

std::string NdPlaylistText::Resolve(const std::string& address, const std::string& entry)
{
    return ResolveUri(QUrl(NdCommHelper::FromUtf8(address), QUrl::TolerantMode), entry);
}

QString NdPlaylistText::LocalName(const QString& m3u8Url)
{
    QString name = m3u8Url.mid(m3u8Url.lastIndexOf(QLatin1Char('/')) + 1);
    const int query = name.indexOf(QLatin1Char('?'));
    if (query > 0)
        name.truncate(query);
    // Segment files and their partial forms included: a playlist stored as
    // "3.ts" would count, and be merged, as a segment.
    static const QStringList reserved = {QString(), QStringLiteral("."), QStringLiteral(".."),
        QLatin1String(NdTaskFolder::kMergedFileName), QLatin1String(NdTaskFolder::kPlaylistAddressName)};
    const bool segmentLike
        = name.endsWith(QLatin1String(".ts"), Qt::CaseInsensitive) || name.endsWith(QLatin1String(".part"));
    if (reserved.contains(name) || segmentLike || name.startsWith(QLatin1String(NdTaskFolder::kOwnFilePrefix)))
        name.prepend(QStringLiteral("remote-"));
    return name;
}
