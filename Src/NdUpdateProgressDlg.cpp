#include "NdUpdateProgressDlg.h"

#include "NdButton.h"
#include "NdLabel.h"
#include "NdLanguageHelper.h"
#include "NdTitleBar.h"

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
    : NdDialog(parent, true, version.MustUpdate), m_version(version)
{
    InitUi();
    TranslateText();
}

NdUpdateProgressDlg::~NdUpdateProgressDlg()
{
    if (!m_pRequest)
        return;
    // An abort finishes the download at once through its callbacks, which must
    // no longer touch this dialog; the partial file is still removed.
    m_bClosing = true;
    if (!m_bFinished)
        m_pRequest->Abort();
    delete m_pRequest;
}

void NdUpdateProgressDlg::InitUi()
{
    m_pLogoLabel = new NdLabel(this);
    m_pLogoLabel->setObjectName(QStringLiteral("NdUpdateDlg_LogoLabel"));
    m_pLogoLabel->setFixedSize(248, 44);
    m_pProgressBar = new QProgressBar(this);
    m_pProgressBar->setObjectName(QStringLiteral("NdUpdateProgressDlg_ProgressBar"));
    m_pProgressBar->setFixedSize(320, 8);
    m_pProgressBar->setTextVisible(false);
    m_pProgressBar->setValue(0);
    m_pProgressLabel = new NdLabel(this);
    m_pProgressLabel->setObjectName(QStringLiteral("NdUpdateProgressDlg_ProgressLabel"));
    m_pProgressLabel->setFixedHeight(20);

    QVBoxLayout* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 50, 0, 50);
    layout->setSpacing(0);
    KeepSizeByMargins(layout, 50, 50);
    layout->addWidget(m_pLogoLabel, 0, Qt::AlignCenter);
    layout->addSpacing(32);
    layout->addWidget(m_pProgressBar, 0, Qt::AlignCenter);
    layout->addSpacing(24);
    layout->addWidget(m_pProgressLabel, 0, Qt::AlignCenter);
}

void NdUpdateProgressDlg::TranslateText()
{
    m_pProgressLabel->setText(UpdatingText(0));
}

void NdUpdateProgressDlg::showEvent(QShowEvent* event)
{
    NdDialog::showEvent(event);
    if (!m_pRequest && !m_bFinished)
        StartDownload();
}

void NdUpdateProgressDlg::StartDownload()
{
    const QString url = QString::fromStdString(m_version.DownloadUrl);
    // A program to be installed comes over a checked connection or not at all.
    if (QUrl(url).scheme() != QLatin1String("https")) {
        ND_LOG(LogWarn, "The installer's address is not https; nothing downloaded");
        onDownloadFailed();
        return;
    }
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    QDir().mkpath(folder);
    m_strInstallerFile = CreateNewFile(folder, url.split(QLatin1Char('/')).last());
    if (m_strInstallerFile.isEmpty()) {
        ND_LOG(LogError, "No new file for the installer in %s", qUtf8Printable(folder));
        onDownloadFailed();
        return;
    }

    m_pRequest = new NdHttpManager(url);
    // A file that cannot be opened fails without a completion: the failure is
    // handled where every failure passes.
    m_pRequest->Success([this](const QString&) { m_bSuccess = true; })
        .Fail([this](const QString&, int) { onDownloadFailed(); })
        .Complete([this]() { onDownloadComplete(); })
        .DownloadProgress([this](long long received, long long total) { onDownloadProgress(received, total); });
    m_pRequest->Download(m_strInstallerFile);
}

void NdUpdateProgressDlg::onDownloadProgress(long long received, long long total)
{
    if (total <= 0 || m_bClosing)
        return;
    const long long percent = received * 100 / total;
    m_pProgressLabel->setText(UpdatingText(percent));
    m_pProgressBar->setValue(static_cast<int>(percent));
}

void NdUpdateProgressDlg::onDownloadComplete()
{
    m_bFinished = true;
    if (m_bSuccess && !m_bClosing)
        HandOffInUse()(m_strInstallerFile);
}

void NdUpdateProgressDlg::onDownloadFailed()
{
    m_bSuccess = false;
    m_bFinished = true;
    // Only the file this dialog made itself.
    if (!m_strInstallerFile.isEmpty())
        QFile::remove(m_strInstallerFile);
    // Even a mandatory update must let the user leave once its download failed.
    if (!m_bClosing)
        GetTitleBar()->GetBtn(NdTitleBar::CloseBtn)->show();
}
