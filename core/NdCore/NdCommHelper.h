#pragma once

#include "NdCore/NdCoreExport.h"

#include <QByteArray>
#include <QString>

#include <string>

// Small services that both deliverables use.
class NDCORE_EXPORT NdCommHelper
{
public:
    static std::string CurrentDateTimeString();

    // Replaces a file with bytes, whole or not at all: they go to a temporary
    // file beside it that is renamed over it once everything is on disk, so a
    // crash, a kill or a full disk leaves the old file as it was.
    static bool WriteFileWhole(const QString& path, const QByteArray& bytes);
};
