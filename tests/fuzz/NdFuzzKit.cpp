#include "NdFuzzKit.h"

#include <QDir>
#include <QTemporaryDir>

QString NdFuzzScratchDir(const QString& below)
{
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/NdFuzz-XXXXXX"));
    const QString path = below.isEmpty() ? dir.path() : dir.path() + QLatin1Char('/') + below;
    if (!dir.isValid() || !QDir().mkpath(path)) {
        std::fprintf(stderr, "no scratch folder %s: %s\n", qPrintable(path), qPrintable(dir.errorString()));
        std::abort();
    }
    return path;
}
