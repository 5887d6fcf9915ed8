#include "NdCore/NdCommHelper.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QUrl>

#include <json/json.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

bool NdCommHelper::WriteFileWhole(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    // QSaveFile::commit() of Qt 5.15 renames the temporary file over the old
    // one even when its buffered bytes could not be written (a full disk left
    // an empty file behind): the buffer is flushed and checked first.
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

bool NdCommHelper::RenameNoReplace(const QString& from, const QString& to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray destination = QFile::encodeName(to);
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, destination.constData(), RENAME_NOREPLACE) == 0)
        return true;
    // Filesystems without the flag (some USB drives' among them) say EINVAL.
    if (errno != EINVAL && errno != ENOSYS)
        return false;
#endif
    // link() fails with EEXIST rather than replace, and leaves the source.
    if (::link(source.constData(), destination.constData()) == 0) {
        ::unlink(source.constData());
        return true;
    }
    if (errno == EEXIST)
        return false;
    // Without hard links either (FAT), a file appearing between the check and
    // the rename is replaced: the best these filesystems allow.
    const QFileInfo target(to);
    if (target.exists() || target.isSymLink()) {
        errno = EEXIST;
        return false;
    }
    return ::rename(source.constData(), destination.constData()) == 0;
}

bool NdCommHelper::ParseJson(const QByteArray& text, Json::Value& root)
{
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    root = Json::Value();
    try {
        if (reader->parse(text.constData(), text.constData() + text.size(), &root, nullptr))
            return true;
    } catch (const std::exception&) {
        // The reader throws on nesting deeper than it allows.
    }
    root = Json::Value();
    return false;
}

QString NdCommHelper::FromUtf8(const std::string& text)
{
    return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

std::string NdCommHelper::ToUtf8(const QString& text)
{
    return text.toUtf8().toStdString();
}

bool NdCommHelper::IsHttpAddress(const QUrl& url)
{
    const QString scheme = url.scheme();
    return scheme.compare(QLatin1String("http"), Qt::CaseInsensitive) == 0
        || scheme.compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
}

QString NdCommHelper::LoggableAddress(const QString& address)
{
    const QUrl parsed(address, QUrl::TolerantMode);
    return parsed.adjusted(QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo).toString();
}
