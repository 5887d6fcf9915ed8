#include "NdCore/NdCommHelper.h"

#include <QSaveFile>
#include <QUrl>

#include <json/json.h>

#include <memory>

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
