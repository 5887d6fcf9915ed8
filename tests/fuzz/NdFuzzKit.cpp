#include "NdFuzzKit.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

QString NdFuzzScratchDir()
{
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/NdFuzz-XXXXXX"));
    if (!dir.isValid()) {
        std::fprintf(stderr, "no scratch folder: %s\n", qPrintable(dir.errorString()));
        std::abort();
    }
    return dir.path();
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
