#pragma once

#include "NdCore/NdCoreExport.h"

#include <QByteArray>
#include <QString>

#include <string>

class QUrl;

namespace Json {
class Value;
}

// Small services that both deliverables use.
class NDCORE_EXPORT NdCommHelper
{
public:
    static std::string CurrentDateTimeString();

    // The records keep their texts as UTF-8 std::string; Qt wants QString.
    static QString FromUtf8(const std::string& text);
    static std::string ToUtf8(const QString& text);

    // Replaces a file with bytes, whole or not at all: they go to a temporary
    // file beside it that is renamed over it once everything is on disk, so a
    // crash, a kill or a full disk leaves the old file as it was.
    static bool WriteFileWhole(const QString& path, const QByteArray& bytes);

    // Renames a file, but never over another one: false, with errno EEXIST,
    // when `to` is taken (false with errno set for any other failure, too).
    static bool RenameNoReplace(const QString& from, const QString& to);

    // Only http and https are ever fetched: file:, data: or qrc: addresses in
    // a playlist or an answer would read the user's own files into a download.
    static bool IsHttpAddress(const QUrl& url);
    // An address as the log may show it: without query, fragment and user,
    // which often carry a signature or a token.
    static QString LoggableAddress(const QString& address);

    // Reads JSON text, comments allowed (and dropped); false, with a null root,
    // for anything else, also for nesting deeper than the reader allows.
    static bool ParseJson(const QByteArray& text, Json::Value& root);
};
