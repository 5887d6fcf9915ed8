#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

class NdSampleLessons;
struct NdTestResponse;

// A lesson path as tokens and URLs carry it: fault switches in front of a
// lesson name, then (in URLs) the file inside the lesson folder, e.g.
// "seg404/slow/plain/seg2.ts". Switches are stateless, so tests compose them.
struct NdSampleLessonPath_t
{
    QStringList Switches; // in the order given
    QString Lesson;       // "plain"
    QString File;         // "seg2.ts", "v320x240/index.m3u8"; empty for a token entry

    bool Has(const char* faultSwitch) const { return Switches.contains(QLatin1String(faultSwitch)); }
    QString LessonPath() const; // switches and lesson, without the file
};

namespace NdSampleFaults {
// Every switch the platform knows.
QStringList SwitchNames();

// Splits "sw/.../lesson[/file]". With withFile the rest after the lesson is the
// file (required, no "." or ".." components); without it nothing may follow.
bool ParseLessonPath(
    const QString& text, const NdSampleLessons& lessons, bool withFile, NdSampleLessonPath_t* path, QString* error);

// Where a playlist was asked for, each ending in "/": its folder's address,
// the same folder on the platform's plain http server, and on the disk.
struct NdPlaylistFolders_t
{
    QString Url;
    QString PlainUrl;
    QString Local;
};

// The playlist text as the switches serve it.
QByteArray RewritePlaylist(
    const QByteArray& text, const NdSampleLessonPath_t& path, const NdPlaylistFolders_t& folders);
// The segment that the single-segment faults hit: 2, or 7 with "late".
bool IsFaultySegment(const NdSampleLessonPath_t& path, const QString& file);

// Applies the segment faults (statuses, "cut", "reset", "stall", "hang",
// "trickle", "slow", "late") to the answer for a media file of size bytes.
void ShapeMediaResponse(const NdSampleLessonPath_t& path, qint64 size, NdTestResponse* response);
// Applies the key faults (statuses, "badkey", "wrongkey") to the key's answer.
void ShapeKeyResponse(const NdSampleLessonPath_t& path, NdTestResponse* response);
// The status a "<target><status>" switch asks for ("seg", "playlist", "key"); 0 for none.
int FaultStatus(const NdSampleLessonPath_t& path, const char* target);
bool IsKey(const QString& file);

bool IsPlaylist(const QString& file);
// "seg2.ts" -> 2; 0 for files that are not numbered segments.
int SegmentNumber(const QString& file);
} // namespace NdSampleFaults
