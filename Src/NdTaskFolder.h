#pragma once

#include "NdCore/NdDownloadTaskParam.h"

#include <QString>

// The room of one task on disk: its working folder "<download folder>/~NdTemp/
// {uuid}" with the playlist, the segments and the task's own files, and the
// move of the finished video out of it.
//
// All that the program deletes is deleted here, and only inside the room: a
// folder is removed, or a file in it, only when the folder resolves, with no
// symbolic link on the way, to a direct child of "<download folder>/~NdTemp"
// whose name is one the program makes. A finished video is deleted only when
// its record names that exact file. Anything else is left alone, with one log
// line: a damaged or hostile task list must never reach the user's own files.
class NdTaskFolder
{
public:
    // The folder's own files besides the playlist and the segments.
    static const char* const kMergedFileName;      // the merged video before its move
    static const char* const kConcatListName;      // ffmpeg's list of the segment files
    static const char* const kLocalPlaylistName;   // what ffmpeg merges from: the segment and key files in order
    static const char* const kKeyFilePrefix;       // the AES keys: "filelist.key-<hash of the address>"
    static const char* const kOwnFilePrefix;       // every "filelist.*" is the program's
    static const char* const kDurationFileName;    // the playlist's length in seconds
    static const char* const kMoveJournalName;     // where the merged video went
    static const char* const kPlaylistAddressName; // the address that answered the playlist request

    NdTaskFolder(const QString& path, const QString& downloadFolder);
    explicit NdTaskFolder(const DownloadTaskParam_t& task);
    // The working folder at that path, of the download folder it lies in.
    static NdTaskFolder At(const QString& path);

    // "~NdTemp" in a download folder: where the working folders go.
    static QString RootOf(const QString& downloadFolder);
    // A working folder of a new name for a task of that download folder, made
    // when it can be; a task whose folder could not be made fails when it starts.
    static QString CreateNew(const QString& downloadFolder);
    // "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}": the names the program gives.
    static bool IsOwnName(const QString& name);

    const QString& Path() const { return FolderPath; }
    QString FilePath(const QString& name) const;
    // Makes the folder, and "~NdTemp", when missing; false when it cannot be
    // made or would not be a working folder of the download folder.
    bool Create() const;
    // Removes one file of the folder; true when it is gone.
    bool RemoveFile(const QString& name) const;
    // Removes the segment files that are not 1.ts to count.ts, and every
    // partial one: the merge list counts the segment files of the folder.
    void KeepSegmentsUpTo(int count) const;
    // Removes the folder with all it holds, and "~NdTemp" once it is empty.
    bool Remove() const;

    // Moves a file of the folder (the merged video) to destination, or, when
    // that is taken, to the first free "<name>(n)<suffix>" beside it; never
    // over a file. Where it goes is written down first (MovedVideo), so that a
    // run killed between the move and storing the result finds the video.
    bool MoveVideo(const QString& fileName, const QString& destination) const;
    // The video that a move out of this folder left, as written down before
    // the rename; empty when none was moved or it is gone again.
    QString MovedVideo() const;

    // Deletes the finished video of a task: only a regular file named exactly
    // "<VideoName>.mp4" in its download folder, and only when the task finished.
    static bool DeleteVideo(const DownloadTaskParam_t& task);

private:
    // An open descriptor of the folder, of "~NdTemp" and of the download
    // folder, opened one step at a time without following links; -1 each when
    // the folder is not a working folder of the download folder.
    struct Handles;
    bool Open(Handles& handles) const;
    bool IsOwnPath() const;
    void LogLeftAlone(const char* what) const;

    QString FolderPath;
    QString DownloadFolder;
};
