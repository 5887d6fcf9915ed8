#include "NdSampleFaults.h"

#include "NdSampleLessons.h"
#include "NdTestHttpServer.h"

#include <QRegularExpression>
#include <QUrl>

namespace {
// The segment that the single-segment faults hit (segments count from 1):
// the second, or with "late" the seventh, after a whole batch has arrived.
const int kFaultySegment = 2;
const int kLateFaultySegment = 7;
// The status switches: "<target><status>", e.g. "seg404", "playlist403", "key500".
const char* const kStatusTargets[] = {"seg", "playlist", "key"};
const int kStatuses[] = {403, 404, 500};
// "slow" sends each segment in this many pieces with this pause between them.
const int kSlowChunks = 10;
const int kSlowChunkDelayMs = 100;
// "trickle" keeps bytes coming, far below 16 KiB in any time-out window.
const int kTrickleBytes = 256;
const int kTrickleDelayMs = 500;

bool IsUriLine(const QByteArray& line)
{
    return !line.isEmpty() && !line.startsWith('#');
}

// Segment URIs in three still-valid spellings: absolute, root-relative and
// with a query the server ignores.
QByteArray MixUri(const QByteArray& uri, int index, const QString& folderUrl)
{
    switch (index % 3) {
    case 0:
        return folderUrl.toUtf8() + uri;
    case 1:
        return QUrl(folderUrl).path(QUrl::FullyEncoded).toUtf8() + uri;
    default:
        return uri + "?auth=sample&n=" + QByteArray::number(index);
    }
}

QList<QByteArray> MixUris(const QList<QByteArray>& lines, const QString& folderUrl)
{
    QList<QByteArray> mixed;
    int index = 0;
    for (const QByteArray& line : lines)
        mixed += IsUriLine(line) ? MixUri(line, index++, folderUrl) : line;
    return mixed;
}

// The key's address, pointed at a local file or the plain http server.
QByteArray WithKeyUri(const QByteArray& line, const QString& folder)
{
    static const QRegularExpression uri(QStringLiteral("URI=\"([^\"]*)\""));
    QString text = QString::fromUtf8(line);
    text.replace(uri, QStringLiteral("URI=\"%1\\1\"").arg(folder));
    return text.toUtf8();
}

QList<QByteArray> WithoutEndList(const QList<QByteArray>& lines)
{
    QList<QByteArray> kept;
    for (const QByteArray& line : lines) {
        if (line != "#EXT-X-ENDLIST")
            kept += line;
    }
    return kept;
}
} // namespace

QString NdSampleLessonPath_t::LessonPath() const
{
    return (Switches + QStringList{Lesson}).join(QLatin1Char('/'));
}

QStringList NdSampleFaults::SwitchNames()
{
    QStringList names{"cut", "reset", "stall", "hang", "trickle", "slow", "late", "mixed", "crlf", "nolf",
        "discontinuity", "redirect", "loop", "badplaylist", "badkey", "wrongkey", "fileseg", "filekey", "httpkey",
        "downgrade"};
    for (const char* target : kStatusTargets) {
        for (int status : kStatuses)
            names << QLatin1String(target) + QString::number(status);
    }
    return names;
}

int NdSampleFaults::FaultStatus(const NdSampleLessonPath_t& path, const char* target)
{
    for (int status : kStatuses) {
        if (path.Switches.contains(QLatin1String(target) + QString::number(status)))
            return status;
    }
    return 0;
}

bool NdSampleFaults::IsKey(const QString& file)
{
    return file.endsWith(QLatin1String(".bin"));
}

bool NdSampleFaults::ParseLessonPath(
    const QString& text, const NdSampleLessons& lessons, bool withFile, NdSampleLessonPath_t* path, QString* error)
{
    const QStringList parts = text.split(QLatin1Char('/'));
    int i = 0;
    *path = NdSampleLessonPath_t();
    while (i < parts.size() && SwitchNames().contains(parts[i]))
        path->Switches += parts[i++];
    if (i >= parts.size() || !lessons.Find(parts[i])) {
        *error = QStringLiteral("unknown lesson: %1").arg(text);
        return false;
    }
    path->Lesson = parts[i++];
    const QStringList fileParts = parts.mid(i);
    const bool safeFile = !fileParts.isEmpty() && !fileParts.contains(QString())
        && !fileParts.contains(QStringLiteral(".")) && !fileParts.contains(QStringLiteral(".."));
    if (withFile ? !safeFile : !fileParts.isEmpty()) {
        *error = QStringLiteral("bad lesson path: %1").arg(text);
        return false;
    }
    path->File = fileParts.join(QLatin1Char('/'));
    return true;
}

QByteArray NdSampleFaults::RewritePlaylist(
    const QByteArray& text, const NdSampleLessonPath_t& path, const NdPlaylistFolders_t& folders)
{
    QList<QByteArray> lines = text.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (int i = 1; path.Has("discontinuity") && i < lines.size(); ++i) {
        if (IsUriLine(lines[i]) && IsFaultySegment(path, QString::fromUtf8(lines[i]))) {
            lines.insert(i - 1, "#EXT-X-DISCONTINUITY"); // before the segment's #EXTINF
            break;
        }
    }
    for (QByteArray& line : lines) {
        if (path.Has("fileseg") && IsUriLine(line) && IsFaultySegment(path, QString::fromUtf8(line)))
            line = QUrl::fromLocalFile(folders.Local + QString::fromUtf8(line)).toEncoded();
        if (line.startsWith("#EXT-X-KEY") && path.Has("filekey"))
            line = WithKeyUri(line, QUrl::fromLocalFile(folders.Local).toString());
        if (line.startsWith("#EXT-X-KEY") && path.Has("httpkey"))
            line = WithKeyUri(line, folders.PlainUrl);
    }
    if (path.Has("mixed"))
        lines = MixUris(lines, folders.Url);
    if (path.Has("nolf"))
        lines = WithoutEndList(lines);
    const QByteArray lineEnd = path.Has("crlf") ? "\r\n" : "\n";
    QByteArray result;
    for (int i = 0; i < lines.size(); ++i) {
        result += lines[i];
        if (i + 1 < lines.size() || !path.Has("nolf"))
            result += lineEnd;
    }
    return result;
}

bool NdSampleFaults::IsFaultySegment(const NdSampleLessonPath_t& path, const QString& file)
{
    return SegmentNumber(file) == (path.Has("late") ? kLateFaultySegment : kFaultySegment);
}

void NdSampleFaults::ShapeMediaResponse(const NdSampleLessonPath_t& path, qint64 size, NdTestResponse* response)
{
    const bool faulty = IsFaultySegment(path, path.File);
    const int status = faulty ? FaultStatus(path, "seg") : 0;
    if (status != 0) {
        *response = NdTestResponse::Text("segment refused\n", status);
        return;
    }
    if (faulty && path.Has("cut"))
        response->DropAfterBytes = size / 2;
    if (faulty && path.Has("reset"))
        response->ResetAfterBytes = size / 2;
    if (faulty && path.Has("stall"))
        response->StallAfterBytes = size / 2;
    if (faulty && path.Has("hang"))
        response->StallAfterBytes = 0;
    if (faulty && path.Has("trickle")) {
        response->ChunkSize = kTrickleBytes;
        response->ChunkDelayMs = kTrickleDelayMs;
        return;
    }
    if (path.Has("slow") && SegmentNumber(path.File) > 0) {
        response->ChunkSize = static_cast<int>(qMax<qint64>(1, (size + kSlowChunks - 1) / kSlowChunks));
        response->ChunkDelayMs = kSlowChunkDelayMs;
    }
}

void NdSampleFaults::ShapeKeyResponse(const NdSampleLessonPath_t& path, NdTestResponse* response)
{
    if (const int status = FaultStatus(path, "key")) {
        *response = NdTestResponse::Text("key refused\n", status);
        return;
    }
    if (path.Has("badkey")) // one byte short of an AES-128 key
        *response = NdTestResponse::Text(QByteArray(15, 'k'), 200, "application/octet-stream");
    if (path.Has("wrongkey")) // the right length, another key
        *response = NdTestResponse::Text(QByteArray(16, 'w'), 200, "application/octet-stream");
}

bool NdSampleFaults::IsPlaylist(const QString& file)
{
    return file.endsWith(QLatin1String(".m3u8"));
}

int NdSampleFaults::SegmentNumber(const QString& file)
{
    static const QRegularExpression pattern(QStringLiteral("(?:^|/)seg(\\d+)\\.(?:ts|m4s)$"));
    const QRegularExpressionMatch match = pattern.match(file);
    return match.hasMatch() ? match.captured(1).toInt() : 0;
}
