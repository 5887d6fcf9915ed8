#include "NdFuzzKit.h"

#include <QDir>
#include <QFile>
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

bool NdFuzzWriteFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray NdFuzzReadFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
