#include "NdTestEnv.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

void NdTestInitEnvironment()
{
    QStandardPaths::setTestModeEnabled(true);
    if (QCoreApplication::applicationName().isEmpty())
        QCoreApplication::setApplicationName(QStringLiteral("NdDownloader"));
    QDir(NdTestDataDir()).removeRecursively();
    QDir().mkpath(NdTestDataDir());
}

QString NdTestDataDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
}

QString NdTestSourceDir()
{
    return QString::fromLocal8Bit(qgetenv("ND_SOURCE_DIR"));
}

QString NdTestLogText(const QString& dataDir)
{
    QString text;
    const QDir logs(dataDir + QStringLiteral("/logs"));
    for (const QString& name : logs.entryList({QStringLiteral("*.log")}, QDir::Files, QDir::Name)) {
        QFile file(logs.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            text += QString::fromUtf8(file.readAll());
    }
    return text;
}

QString NdPrivateTmpDir(const QString& home)
{
    const QString tmp = home + QStringLiteral("/tmp");
    QDir().mkpath(tmp);
    QFile::setPermissions(tmp, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return tmp;
}

QByteArray NdReadFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool NdWriteFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}
