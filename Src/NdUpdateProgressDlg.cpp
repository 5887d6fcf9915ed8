#include "NdUpdateProgressDlg.h"

#include "NdButton.h"
#include "NdLabel.h"
#include "NdLanguageHelper.h"
#include "NdTitleBar.h"

#include "NdCore/NdCommHelper.h"
#include "NdCore/NdHttpManager.h"
#include "NdCore/NdLogManager.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProgressBar>
#include <QStandardPaths>
#include <QThread>
#include <QUrl>
#include <QVBoxLayout>

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Opens the installer the way the platform installs programs, then leaves the
// field to it.
void SystemInstallerHandOff(const QString& installerFile)
{
#if defined(Q_OS_MACOS)
    QProcess::execute(QStringLiteral("hdiutil"), {QStringLiteral("attach"), installerFile});
    QProcess::startDetached(QStringLiteral("open"), {QStringLiteral("/Volumes/NadioLoader")});
#else
    QDesktopServices::openUrl(QUrl::fromLocalFile(installerFile));
#endif
    QThread::msleep(1500);
    QCoreApplication::quit();
}

NdUpdateProgressDlg::InstallerHandOff& HandOffInUse()
{
    static NdUpdateProgressDlg::InstallerHandOff handOff = SystemInstallerHandOff;
    return handOff;
}

const int kMaxNameTries = 1000;

// "NdDownloader.dmg", then "NdDownloader(1).dmg", "NdDownloader(2).dmg", ...
QString NumberedName(const QString& name, int n)
{
    if (n == 0)
        return name;
    const QFileInfo info(name);
    const QString numbered = info.completeBaseName() + QStringLiteral("(%1)").arg(n);
    return info.suffix().isEmpty() ? numbered : numbered + QLatin1Char('.') + info.suffix();
}

// A new, empty file in the folder under the first free form of the name; a file that was there
// before is never opened, so never cut or removed. Empty when none could be made.
QString CreateNewFile(const QString& folder, const QString& name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return QString();
    for (int n = 0; n < kMaxNameTries; ++n) {
        const QString path = folder + QLatin1Char('/') + NumberedName(name, n);
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            return path;
        }
        if (errno != EEXIST)
            return QString();
    }
    return QString();
}

QString UpdatingText(long long percent)
{
    return Str("NdDownloader.Updating").arg(percent);
}

} // namespace

void NdUpdateProgressDlg::SetInstallerHandOff(InstallerHandOff handOff)
{
    HandOffInUse() = handOff ? std::move(handOff) : InstallerHandOff(SystemInstallerHandOff);
}

NdUpdateProgressDlg::NdUpdateProgressDlg(QWidget* parent, const NdSoftVersion_t& version)
    : NdDialog(parent, true, version.MustUpdate), Version(version)
{
    InitUi();
    TranslateText();
}

NdUpdateProgressDlg::~NdUpdateProgressDlg()
{
    if (!Request)
        return;
    // An abort finishes the download at once through its callbacks, which must
    // no longer touch this dialog; the partial file is still removed.
    Closing = true;
    if (!DownloadDone)
        Request->Abort();
    delete Request;
}

void NdUpdateProgressDlg::InitUi()
{
    LogoLabel = NdMakeLabel(this, "NdUpdateDlg_LogoLabel");
    LogoLabel->setFixedSize(248, 44);
    ProgressBar = new QProgressBar(this);
    ProgressBar->setObjectName(QStringLiteral("NdUpdateProgressDlg_ProgressBar"));
    ProgressBar->setFixedSize(320, 8);
    ProgressBar->setTextVisible(false);
    ProgressBar->setValue(0);
    ProgressLabel = NdMakeLabel(this, "NdUpdateProgressDlg_ProgressLabel");
    ProgressLabel->setFixedHeight(20);

    QVBoxLayout* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 50, 0, 50);
    layout->setSpacing(0);
    KeepSizeByMargins(layout, 50, 50);
    layout->addWidget(LogoLabel, 0, Qt::AlignCenter);
    layout->addSpacing(32);
    layout->addWidget(ProgressBar, 0, Qt::AlignCenter);
    layout->addSpacing(24);
    layout->addWidget(ProgressLabel, 0, Qt::AlignCenter);
}

void NdUpdateProgressDlg::TranslateText()
{
    ProgressLabel->setText(UpdatingText(0));
}

void NdUpdateProgressDlg::showEvent(QShowEvent* event)
{
    NdDialog::showEvent(event);
    if (!Request && !DownloadDone)
        StartDownload();
}

void NdUpdateProgressDlg::StartDownload()
{
    const QString url = NdCommHelper::FromUtf8(Version.DownloadUrl);
    // A program to be installed comes over a checked connection or not at all.
    if (QUrl(url).scheme() != QLatin1String("https")) {
        ND_LOG(LogWarn, "The installer's address is not https; nothing downloaded");
        onDownloadFailed();
        return;
    }
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    QDir().mkpath(folder);
    InstallerFile = CreateNewFile(folder, url.split(QLatin1Char('/')).last());
    if (InstallerFile.isEmpty()) {
        ND_LOG(LogError, "No new file for the installer in %s", qUtf8Printable(folder));
        onDownloadFailed();
        return;
    }

    Request = new NdHttpManager(url);
    // A file that cannot be opened fails without a completion: the failure is
    // handled where every failure passes.
    Request->Success([this](const QString&) { Success = true; })
        .Fail([this](const QString&, int) { onDownloadFailed(); })
        .Complete([this]() { onDownloadComplete(); })
        .DownloadProgress([this](long long received, long long total) { onDownloadProgress(received, total); });
    Request->Download(InstallerFile);
}

void NdUpdateProgressDlg::onDownloadProgress(long long received, long long total)
{
    if (total <= 0 || Closing)
        return;
    const long long percent = received * 100 / total;
    ProgressLabel->setText(UpdatingText(percent));
    ProgressBar->setValue(static_cast<int>(percent));
}

void NdUpdateProgressDlg::onDownloadComplete()
{
    DownloadDone = true;
    if (Success && !Closing)
        HandOffInUse()(InstallerFile);
}

void NdUpdateProgressDlg::onDownloadFailed()
{
    Success = false;
    DownloadDone = true;
    // Only the file this dialog made itself.
    if (!InstallerFile.isEmpty())
        QFile::remove(InstallerFile);
    // Even a mandatory update must let the user leave once its download failed.
    if (!Closing)
        GetTitleBar()->GetBtn(NdTitleBar::CloseBtn)->show();
}
