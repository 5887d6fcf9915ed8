#include "NdProgramBundle.h"
#include "NdTestEnv.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <csignal>
#include <sys/prctl.h>
#include <sys/stat.h>

namespace {
bool CopyInto(const QString& source, const QString& folder)
{
    const QString target = folder + QLatin1Char('/') + QFileInfo(source).fileName();
    return QFile::copy(source, target) && QFile::setPermissions(target, QFile(source).permissions());
}
} // namespace

void NdTestChildProcess::setupChildProcess()
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
}

bool NdProgramBundle::Create(const QString& deployFile)
{
    const QString buildBin = QCoreApplication::applicationDirPath();
    const QString bin = Dir.path() + QStringLiteral("/bin");
    const QString resources = Dir.path() + QStringLiteral("/Resources");
    const QByteArray tmp = QFile::encodeName(TmpPath());
    if (!Dir.isValid() || !QDir().mkpath(bin) || !QDir().mkpath(resources + QStringLiteral("/locale"))
        || ::chmod(QFile::encodeName(Dir.path()).constData(), 0755) != 0 || ::mkdir(tmp.constData(), 0700) != 0
        || ::chmod(tmp.constData(), 01777) != 0)
        return false;
    if (!CopyInto(buildBin + QStringLiteral("/NdDownloader"), bin))
        return false;
    for (const QFileInfo& library : QDir(buildBin).entryInfoList({"libNdCore.so*"}, QDir::Files)) {
        const bool copied = library.isSymLink()
            ? QFile::link(library.symLinkTarget(), bin + QLatin1Char('/') + library.fileName())
            : CopyInto(library.absoluteFilePath(), bin);
        if (!copied)
            return false;
    }
    return QFile::link(QFileInfo(buildBin + QStringLiteral("/ffmpeg")).symLinkTarget(), bin + QStringLiteral("/ffmpeg"))
        && CopyInto(buildBin + QStringLiteral("/../Resources/locale/zh-CN.ini"), resources + QStringLiteral("/locale"))
        && QFile::copy(deployFile, resources + QStringLiteral("/NdDeploy.json"));
}

QProcessEnvironment NdProgramBundle::Environment(const QString& home, const QString& dataName) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_DATA_HOME"), home + QLatin1Char('/') + dataName);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), NdPrivateTmpDir(home));
    env.insert(QStringLiteral("TMPDIR"), TmpPath());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

QString NdProgramBundle::DataFolder(const QString& home, const QString& dataName)
{
    return home + QLatin1Char('/') + dataName + QStringLiteral("/NdDownloader");
}
