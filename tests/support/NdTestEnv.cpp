#include "NdTestEnv.h"

#include <QCoreApplication>
#include <QDir>
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
