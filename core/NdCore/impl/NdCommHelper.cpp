#include "NdCore/NdCommHelper.h"

#include <QSaveFile>

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
