#include "NdInstanceLock.h"

#include <QByteArray>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A folder only this user can enter: a real directory (not a symbolic link),
// owned by the user, with no access at all for group and others. Anything else
// may have been planted by another user to catch the lock or the socket.
bool IsPrivateFolder(const QByteArray& path)
{
    struct stat info = {};
    return ::lstat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid()
        && (info.st_mode & (S_IRWXG | S_IRWXO)) == 0;
}

// The session's runtime folder is private by the XDG rules, but only a checked
// one is trusted; without it, a folder of the user's own in /tmp.
QByteArray PrivateFolderPath()
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (runtime.startsWith('/') && IsPrivateFolder(runtime))
        return runtime + "/NdDownloader";
    return "/tmp/NdDownloader-runtime-" + QByteArray::number(::geteuid());
}

QString SystemError(const char* what, const QByteArray& path)
{
    return QStringLiteral("cannot %1 %2: %3")
        .arg(QLatin1String(what), QFile::decodeName(path), QString::fromLocal8Bit(std::strerror(errno)));
}

// Empty when the folder is there (made user-only when it was missing) and
// passes the check; else why not. One that was already there is used only when
// it passes.
QString MakePrivateFolder(const QByteArray& path)
{
    if (::mkdir(path.constData(), S_IRWXU) != 0 && errno != EEXIST)
        return SystemError("make", path);
    if (!IsPrivateFolder(path))
        return QStringLiteral("%1 is not a folder of this user's alone").arg(QFile::decodeName(path));
    return QString();
}

} // namespace

NdInstanceLock::~NdInstanceLock()
{
    if (Fd >= 0)
        ::close(Fd);
}

NdInstanceLock::Outcome NdInstanceLock::Acquire()
{
    const QByteArray folder = PrivateFolderPath();
    Error = MakePrivateFolder(folder);
    if (!Error.isEmpty())
        return Unavailable;
    RuntimeFolder = QFile::decodeName(folder);
    const QByteArray path = folder + "/instance.lock";
    // Close-on-exec: ffmpeg or ping inheriting the descriptor would go on
    // holding the lock after this process has ended.
    Fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, S_IRUSR | S_IWUSR);
    if (Fd < 0) {
        Error = SystemError("open", path);
        return Unavailable;
    }
    if (::flock(Fd, LOCK_EX | LOCK_NB) == 0)
        return Acquired;
    const bool held = errno == EWOULDBLOCK;
    Error = SystemError("lock", path);
    ::close(Fd);
    Fd = -1;
    return held ? HeldByPeer : Unavailable;
}
