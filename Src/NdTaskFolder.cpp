#include "NdTaskFolder.h"

#include "NdVideoName.h"

#include "NdCore/NdCommHelper.h"
#include "NdCore/NdLogManager.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryFile>
#include <QUuid>

#include <cerrno>
#include <cstdio>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const char* const NdTaskFolder::kMergedFileName = "NdTemp.mp4";
const char* const NdTaskFolder::kConcatListName = "filelist.txt";
const char* const NdTaskFolder::kLocalPlaylistName = "filelist.m3u8";
const char* const NdTaskFolder::kKeyFilePrefix = "filelist.key-";
const char* const NdTaskFolder::kOwnFilePrefix = "filelist.";
const char* const NdTaskFolder::kDurationFileName = "filelist.duration";
const char* const NdTaskFolder::kMoveJournalName = "filelist.moved";
const char* const NdTaskFolder::kPlaylistAddressName = "playlist.url";

namespace {

const char* const kWorkRootName = "~NdTemp";
const char* const kVideoSuffix = ".mp4";
// A working folder holds no folders of its own; a deeper tree is not ours.
const int kMaxRemoveDepth = 8;
// Free names are looked for again when a file takes the chosen one meanwhile.
const int kMaxMoveAttempts = 100;

// A descriptor that closes itself.
class NdFd
{
public:
    explicit NdFd(int fd = -1) : Fd(fd) { }
    ~NdFd() { Reset(-1); }
    NdFd(const NdFd&) = delete;
    NdFd& operator=(const NdFd&) = delete;

    int Get() const { return Fd; }
    bool IsOpen() const { return Fd >= 0; }
    void Reset(int fd)
    {
        if (Fd >= 0)
            ::close(Fd);
        Fd = fd;
    }

private:
    int Fd;
};

QByteArray Encoded(const QString& name)
{
    return QFile::encodeName(name);
}

int OpenFolderAt(int parent, const QByteArray& name)
{
    return ::openat(parent, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

bool IsGone(int result)
{
    return result == 0 || errno == ENOENT;
}

// Every name in the folder open as fd, as the disk holds it, "." and ".." left out.
QList<QByteArray> FolderEntries(int fd)
{
    QList<QByteArray> names;
    const int listing = ::dup(fd);
    DIR* dir = listing >= 0 ? ::fdopendir(listing) : nullptr;
    if (!dir) {
        if (listing >= 0)
            ::close(listing);
        return names;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names << name;
    }
    ::closedir(dir);
    return names;
}

// Empties a folder that is open as fd, without following a link anywhere: a
// link is removed as the link it is.
bool EmptyFolder(int fd, int depth)
{
    bool emptied = true;
    for (const QByteArray& name : FolderEntries(fd)) {
        if (IsGone(::unlinkat(fd, name.constData(), 0)))
            continue;
        const NdFd folder(depth < kMaxRemoveDepth ? OpenFolderAt(fd, name) : -1);
        emptied = folder.IsOpen() && EmptyFolder(folder.Get(), depth + 1)
            && IsGone(::unlinkat(fd, name.constData(), AT_REMOVEDIR)) && emptied;
    }
    return emptied;
}

bool IsWantedSegment(const QString& name, int count)
{
    bool numbered = false;
    const int number = name.chopped(3).toInt(&numbered);
    return numbered && number >= 1 && number <= count && name == QStringLiteral("%1.ts").arg(number);
}

// Anything at that path, a dangling link included.
bool PathTaken(const QString& path)
{
    struct stat info;
    return ::lstat(Encoded(path).constData(), &info) == 0;
}

// Across filesystems the copy is written under a name of its own beside the
// target, then renamed: never a half-written file under the final name, and
// never a file of the user's taken for the copy.
bool CopyWhole(const QString& from, const QString& to)
{
    QFile source(from);
    QTemporaryFile copy(QFileInfo(to).absolutePath() + QStringLiteral("/.NdDownloader-XXXXXX.part"));
    if (!source.open(QIODevice::ReadOnly) || !copy.open())
        return false;
    while (!source.atEnd()) {
        const QByteArray chunk = source.read(1 << 20);
        if (chunk.isEmpty() || copy.write(chunk) != chunk.size())
            return false;
    }
    if (!copy.flush() || !NdCommHelper::RenameNoReplace(copy.fileName(), to))
        return false;
    copy.setAutoRemove(false);
    return true;
}

// The merged video's file name split into what a number goes after and the
// suffix it goes before: "Lesson 1.2" and ".mp4".
void SplitVideoName(const QString& fileName, QString* stem, QString* suffix)
{
    const int dot = fileName.endsWith(QLatin1String(kVideoSuffix)) ? fileName.size() - 4 : fileName.lastIndexOf('.');
    *stem = dot > 0 ? fileName.left(dot) : fileName;
    *suffix = dot > 0 ? fileName.mid(dot) : QString();
}

} // namespace

struct NdTaskFolder::Handles
{
    NdFd Download;
    NdFd Root;
    NdFd Folder;
};

NdTaskFolder::NdTaskFolder(const QString& path, const QString& downloadFolder)
    : FolderPath(path), DownloadFolder(downloadFolder)
{ }

NdTaskFolder::NdTaskFolder(const DownloadTaskParam_t& task)
    : NdTaskFolder(NdCommHelper::FromUtf8(task.VideoTempPath), NdCommHelper::FromUtf8(task.VideoDownloadPath))
{ }

NdTaskFolder NdTaskFolder::At(const QString& path)
{
    return NdTaskFolder(path, QDir::cleanPath(path + QStringLiteral("/../..")));
}

QString NdTaskFolder::RootOf(const QString& downloadFolder)
{
    return downloadFolder + QLatin1Char('/') + QLatin1String(kWorkRootName);
}

QString NdTaskFolder::CreateNew(const QString& downloadFolder)
{
    const NdTaskFolder folder(
        RootOf(downloadFolder) + QLatin1Char('/') + QUuid::createUuid().toString(), downloadFolder);
    folder.Create();
    return folder.Path();
}

bool NdTaskFolder::IsOwnName(const QString& name)
{
    static const QRegularExpression uuid(
        QStringLiteral("^\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\}$"));
    return uuid.match(name).hasMatch();
}

QString NdTaskFolder::FilePath(const QString& name) const
{
    return FolderPath + QLatin1Char('/') + name;
}

// The text first: "<download folder>/~NdTemp/{uuid}", nothing climbing up.
bool NdTaskFolder::IsOwnPath() const
{
    if (!QDir::isAbsolutePath(DownloadFolder) || FolderPath.isEmpty())
        return false;
    const QString name = QFileInfo(FolderPath).fileName();
    return IsOwnName(name) && QDir::cleanPath(FolderPath) == QDir::cleanPath(RootOf(DownloadFolder) + '/' + name);
}

// Then the disk: "~NdTemp" and the folder are opened one step at a time
// without following links, so a link put in their place leads nowhere.
bool NdTaskFolder::Open(Handles& handles) const
{
    if (!IsOwnPath())
        return false;
    handles.Download.Reset(::open(Encoded(DownloadFolder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (handles.Download.IsOpen())
        handles.Root.Reset(OpenFolderAt(handles.Download.Get(), kWorkRootName));
    if (handles.Root.IsOpen())
        handles.Folder.Reset(OpenFolderAt(handles.Root.Get(), Encoded(QFileInfo(FolderPath).fileName())));
    return handles.Folder.IsOpen();
}

void NdTaskFolder::LogLeftAlone(const char* what) const
{
    ND_LOG(LogWarn, "Left %s alone (%s): not a working folder of %s.", qUtf8Printable(FolderPath), what,
        qUtf8Printable(DownloadFolder));
}

bool NdTaskFolder::Create() const
{
    // Made one step at a time below descriptors too: a link in the way is
    // never followed to make a folder somewhere else.
    if (IsOwnPath() && QDir().mkpath(DownloadFolder)) {
        const NdFd download(::open(Encoded(DownloadFolder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ::mkdirat(download.Get(), kWorkRootName, 0777);
        const NdFd root(download.IsOpen() ? OpenFolderAt(download.Get(), kWorkRootName) : -1);
        ::mkdirat(root.Get(), Encoded(QFileInfo(FolderPath).fileName()).constData(), 0777);
    }
    Handles handles;
    if (Open(handles))
        return true;
    LogLeftAlone("not made");
    return false;
}

bool NdTaskFolder::RemoveFile(const QString& name) const
{
    Handles handles;
    if (!NdVideoName::IsPlainFileName(name) || !Open(handles))
        return !PathTaken(FilePath(name));
    return IsGone(::unlinkat(handles.Folder.Get(), Encoded(name).constData(), 0));
}

void NdTaskFolder::KeepSegmentsUpTo(int count) const
{
    Handles handles;
    if (!Open(handles)) {
        LogLeftAlone("segments kept");
        return;
    }
    for (const QByteArray& name : FolderEntries(handles.Folder.Get())) {
        const bool segment = name.endsWith(".ts") && !IsWantedSegment(QFile::decodeName(name), count);
        if (segment || name.endsWith(".ts.part"))
            ::unlinkat(handles.Folder.Get(), name.constData(), 0);
    }
}

bool NdTaskFolder::Remove() const
{
    Handles handles;
    if (!Open(handles)) {
        // Already gone is what a finished task leaves; anything else is not ours.
        if (IsOwnPath() && !PathTaken(FolderPath))
            return true;
        LogLeftAlone("not removed");
        return false;
    }
    const QByteArray name = Encoded(QFileInfo(FolderPath).fileName());
    const bool removed = EmptyFolder(handles.Folder.Get(), 0)
        && IsGone(::unlinkat(handles.Root.Get(), name.constData(), AT_REMOVEDIR));
    // Fails, as it should, while another task still works in it.
    ::unlinkat(handles.Download.Get(), kWorkRootName, AT_REMOVEDIR);
    return removed;
}

bool NdTaskFolder::MoveVideo(const QString& fileName, const QString& destination) const
{
    const QString source = FilePath(fileName);
    if (!QFileInfo::exists(source))
        return !MovedVideo().isEmpty();
    Handles handles;
    if (!NdVideoName::IsPlainFileName(fileName) || !Open(handles)) {
        LogLeftAlone("not moved from");
        return false;
    }
    const QFileInfo target(destination);
    QString stem;
    QString suffix;
    SplitVideoName(target.fileName(), &stem, &suffix);
    const QString folder = target.absolutePath() + QLatin1Char('/');
    const QString journal = FilePath(QLatin1String(kMoveJournalName));
    for (int attempt = 0; attempt < kMaxMoveAttempts; ++attempt) {
        const QString to = folder + NdVideoName::FirstFree(stem, suffix, [&](const QString& name) {
            return PathTaken(folder + name + suffix);
        }) + suffix;
        const QByteArray entry = to.toUtf8() + '\n' + QByteArray::number(QFileInfo(source).size());
        if (!NdCommHelper::WriteFileWhole(journal, entry))
            return false;
        if (NdCommHelper::RenameNoReplace(source, to))
            return true;
        if (errno == EXDEV && CopyWhole(source, to)) {
            RemoveFile(fileName);
            return true;
        }
        if (errno != EEXIST)
            break;
    }
    RemoveFile(QLatin1String(kMoveJournalName));
    return false;
}

QString NdTaskFolder::MovedVideo() const
{
    QFile journal(FilePath(QLatin1String(kMoveJournalName)));
    if (!journal.open(QIODevice::ReadOnly))
        return QString();
    const QList<QByteArray> entry = journal.readAll().split('\n');
    const QString video = QString::fromUtf8(entry.value(0));
    const QFileInfo info(video);
    const bool moved = entry.size() == 2 && !video.isEmpty() && info.isFile()
        && info.size() == entry.value(1).toLongLong() && !QFileInfo::exists(FilePath(QLatin1String(kMergedFileName)));
    return moved ? video : QString();
}

bool NdTaskFolder::DeleteVideo(const DownloadTaskParam_t& task)
{
    const QString name = NdCommHelper::FromUtf8(task.VideoName) + QLatin1String(kVideoSuffix);
    const QString path = NdCommHelper::FromUtf8(task.VideoDownloadPath) + QLatin1Char('/') + name;
    struct stat info;
    if (!NdVideoName::IsPlainFileName(name) || ::lstat(Encoded(path).constData(), &info) != 0)
        return false;
    const bool finished = task.VideoState == Finished || task.VideoState == MissFile;
    if (!finished || !S_ISREG(info.st_mode)) {
        ND_LOG(LogWarn, "Left %s alone: not the finished video of its task.", qUtf8Printable(path));
        return false;
    }
    return ::unlink(Encoded(path).constData()) == 0;
}
