#pragma once

#include <QString>

// Joins the segment files of a task folder into one video with ffmpeg, by
// stream copy, never re-encoding. ffmpeg reads the folder's local playlist
// ("filelist.m3u8") when there is one, and the concat list ("filelist.txt")
// only for a plain stream whose playlist has discontinuities; it opens local
// files alone. One merge runs at a time in the whole program, and a merge
// counts only when the video lasts as long as the playlist says.
class NdConverter
{
public:
    // Where ffmpeg is taken from: the program's folder, else the PATH; "" when
    // there is none.
    static QString FfmpegPath();
    // Writes the concat list of the folder's segment files 1.ts to N.ts, N being
    // how many "*.ts" files it holds; false when the folder does not exist.
    static bool WriteConcatList(const QString& folder);
    // Merges the segments of the task folder that holds listFile into output.
    // True when ffmpeg exited with 0 and the video lasts as long as the
    // playlist says; false also when the calling thread's stop check asks to
    // stop while it waits for the converter or runs it.
    static bool Merge(const QString& listFile, const QString& output);
};
