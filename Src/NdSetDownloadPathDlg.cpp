#include "NdSetDownloadPathDlg.h"

#include "NdButton.h"
#include "NdDownloadTaskManager.h"
#include "NdLabel.h"
#include "NdLanguageHelper.h"
#include "NdTaskItem.h"

#include "NdCore/NdCacheManager.h"
#include "NdCore/NdCommHelper.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QVBoxLayout>

namespace {

const int kPathElideWidth = 180;
const int kRefusedElideWidth = 250;
const int kFileNameElideWidth = 230;
const int kFreeSpaceWidth = 96;

QString LastDownloadPath()
{
    std::string path;
    NdCacheManager::GetInstance()->GetLastDownloadPath(path);
    return NdCommHelper::FromUtf8(path);
}

// A folder that does not exist yet is measured on the disk of its nearest
// existing parent.
qint64 SystemFreeBytes(const QString& folder)
{
    QString path = NdDiskCheckPath(folder);
    while (!path.isEmpty() && !QFileInfo::exists(path)) {
        const QString parent = QFileInfo(path).absolutePath();
        if (parent == path)
            break;
        path = parent;
    }
    QStorageInfo storage(path);
    storage.refresh();
    return storage.isValid() ? storage.bytesAvailable() : -1;
}

QString SystemDirectoryChooser(QWidget* parent, const QString& caption, const QString& startDir)
{
    return QFileDialog::getExistingDirectory(parent, caption, startDir, QFileDialog::ShowDirsOnly);
}

NdSetDownloadPathDlg::FreeBytesQuery& FreeBytesQueryInUse()
{
    static NdSetDownloadPathDlg::FreeBytesQuery query = SystemFreeBytes;
    return query;
}

NdSetDownloadPathDlg::DirectoryChooser& DirectoryChooserInUse()
{
    static NdSetDownloadPathDlg::DirectoryChooser chooser = SystemDirectoryChooser;
    return chooser;
}

NdButton* MakeButton(QWidget* parent, const char* objectName)
{
    return NdMakeButton(parent, objectName, QSize(74, 32));
}

} // namespace

void NdSetDownloadPathDlg::SetFreeBytesQuery(FreeBytesQuery query)
{
    FreeBytesQueryInUse() = query ? std::move(query) : FreeBytesQuery(SystemFreeBytes);
}

void NdSetDownloadPathDlg::SetDirectoryChooser(DirectoryChooser chooser)
{
    DirectoryChooserInUse() = chooser ? std::move(chooser) : DirectoryChooser(SystemDirectoryChooser);
}

bool NdSetDownloadPathDlg::IsRefusedFolder(const QString& folder)
{
    static const QStringList systemFolders = {
        QStringLiteral("C:/Program Files"),
        QStringLiteral("C:/Program Files (x86)"),
        QStringLiteral("C:/Windows"),
        QStringLiteral("C:/"),
        QStringLiteral("/"),
        QStringLiteral("/usr"),
        QStringLiteral("/bin"),
        QStringLiteral("/etc"),
        QStringLiteral("/proc"),
        QStringLiteral("/sys"),
    };
    if (systemFolders.contains(folder))
        return true;
    const QFileInfo info(folder);
    return !info.isDir() || !info.isWritable();
}

NdSetDownloadPathDlg::NdSetDownloadPathDlg(QWidget* parent) : NdDialog(parent, true, false)
{
    InitUi();
    ConnectSignals();
    TranslateText();
    if (parent) {
        parent->activateWindow();
        parent->raise();
    }
    activateWindow();
    raise();
}

void NdSetDownloadPathDlg::InitUi()
{
    CreateFileHeaderLabels(m_pTitleLabel, m_pSplitLineLabel, m_pFileImageLabel);
    m_pFileNameLabel = NdMakeLabel(this, "NdCloseDlg_FileNameLabel");
    m_pFileNameLabel->setMaximumWidth(200);
    m_pFileCountLabel = NdMakeLabel(this, "NdCloseDlg_DownloadingLabel");
    m_pFileCountLabel->setFixedHeight(20);
    m_pFileCountLabel->setAlignment(Qt::AlignCenter);
    m_pTotalSizeLabel = NdMakeLabel(this, "NdCloseDlg_DownloadingLabel");
    m_pDownloadToLabel = NdMakeLabel(this, "NdCloseDlg_FileNameLabel");
    m_pDownloadToLabel->setFixedHeight(24);
    m_pPathEdit = new QLineEdit(this);
    m_pPathEdit->setObjectName(QStringLiteral("NdCloseDlg_LineEdit"));
    m_pPathEdit->setReadOnly(true);
    m_pPathEdit->setFixedSize(282, 32);
    m_pBrowseBtn = MakeButton(this, "NdCloseDlg_CancleBtn");
    m_pFreeSpaceLabel = NdMakeLabel(this, "NdCloseDlg_DownloadingLabel");
    m_pFreeSpaceLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_pNoFreeDiskSizeLabel = NdMakeLabel(this, "NdSetDownloadPathDlg_NoFreeDiskSizeLabel");
    m_pNoFreeDiskSizeLabel->setFixedHeight(24);
    m_pNoFreeDiskSizeLabel->hide();
    m_pCancelBtn = MakeButton(this, "NdCloseDlg_CancleBtn");
    m_pOkBtn = MakeButton(this, "NdCloseDlg_OkBtn");

    QVBoxLayout* nameColumn = new QVBoxLayout();
    nameColumn->setSpacing(4);
    nameColumn->addWidget(m_pFileNameLabel, 0, Qt::AlignLeft);
    nameColumn->addWidget(m_pTotalSizeLabel, 0, Qt::AlignLeft);
    QHBoxLayout* fileRow = new QHBoxLayout();
    fileRow->setSpacing(8);
    fileRow->addWidget(m_pFileImageLabel);
    fileRow->addLayout(nameColumn);
    fileRow->addWidget(m_pFileCountLabel, 0, Qt::AlignTop);
    fileRow->addStretch();

    QHBoxLayout* pathRow = new QHBoxLayout();
    pathRow->setSpacing(12);
    pathRow->addWidget(m_pDownloadToLabel);
    pathRow->addWidget(m_pPathEdit);
    pathRow->addWidget(m_pBrowseBtn);

    QVBoxLayout* layout = CreateFileDialogLayout(m_pSplitLineLabel, fileRow);
    layout->addLayout(pathRow);
    layout->addWidget(m_pNoFreeDiskSizeLabel);
    AddButtonRow(layout, {m_pCancelBtn, m_pOkBtn});
}

void NdSetDownloadPathDlg::ConnectSignals()
{
    SetKeyButtons({m_pOkBtn}, m_pCancelBtn);
    connect(m_pBrowseBtn, &NdButton::clicked, this, &NdSetDownloadPathDlg::onBrowseClicked);
    connect(m_pOkBtn, &NdButton::clicked, this, [this]() {
        NdCacheManager::GetInstance()->SetLastDownloadPath(NdCommHelper::ToUtf8(m_strDir));
        done(1);
    });
    connect(m_pCancelBtn, &NdButton::clicked, this, [this]() { done(0); });
}

void NdSetDownloadPathDlg::TranslateText()
{
    m_pTitleLabel->setText(Str("NdDownloader.SetDownloadPath"));
    m_pDownloadToLabel->setText(Str("NdDownloader.DownloadTo"));
    m_pBrowseBtn->setText(Str("NdDownloader.Browse"));
    m_pNoFreeDiskSizeLabel->setText(Str("NdDownloader.NoFreeDiskSize"));
    m_pCancelBtn->setText(Str("NdDownloader.Cancel"));
    m_pOkBtn->setText(Str("NdDownloader.Sure"));
    ShowFolder(ProposedFolder());
}

QString NdSetDownloadPathDlg::ProposedFolder() const
{
    const QString desktopFolder = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation) + QLatin1Char('/')
        + Str("NdDownloader.NdVideo");
    const QString last = LastDownloadPath();
    if (last.isEmpty())
        return desktopFolder;
    if (!QDir(last).exists() && !QDir().mkpath(last))
        return desktopFolder;
    // A folder may have lost its write permission since it was chosen.
    return IsRefusedFolder(last) ? desktopFolder : last;
}

void NdSetDownloadPathDlg::ShowFolder(const QString& folder)
{
    m_bRefused = false;
    m_strDir = folder;
    m_pPathEdit->setStyleSheet(QStringLiteral("color:black"));
    m_pPathEdit->setText(GetElidedText(m_pPathEdit->font(), folder, kPathElideWidth));
    m_pPathEdit->setToolTip(folder);
    UpdateFreeSpace();
}

void NdSetDownloadPathDlg::ShowRefusedFolder()
{
    m_bRefused = true;
    const QString warning = Str("NdDownloader.NoWrite");
    m_pPathEdit->setText(GetElidedText(m_pPathEdit->font(), warning, kRefusedElideWidth));
    m_pPathEdit->setStyleSheet(QStringLiteral("color:red"));
    m_pPathEdit->setToolTip(warning);
    UpdateOkButton();
}

void NdSetDownloadPathDlg::onBrowseClicked()
{
    QString startDir = LastDownloadPath();
    if (startDir.isEmpty())
        startDir = QStringLiteral("./");
    const QString answer = DirectoryChooserInUse()(this, Str("NdDownloader.ChooseSaveFilePath"), startDir);
    if (answer.isEmpty())
        return;
    if (IsRefusedFolder(answer))
        ShowRefusedFolder();
    else
        ShowFolder(answer);
}

void NdSetDownloadPathDlg::SetDownloadFilesInfo(const QString& name, int count, float totalSize, float lastSize)
{
    Q_UNUSED(lastSize)
    m_pFileNameLabel->setText(name);
    m_pFileCountLabel->setText(count > 1 ? Str("NdDownloader.FileCount").arg(count) : QString());
    m_nFileCount = count;
    m_fTotalSize = totalSize;
    m_pTotalSizeLabel->setText(NdTaskItem::GetSizeNumberStr(totalSize));
    UpdateFreeSpace();
}

QString NdSetDownloadPathDlg::GetDir() const
{
    return m_strDir;
}

// The free space is measured for the chosen folder itself: the field may show
// an elided path or the refusal text.
void NdSetDownloadPathDlg::UpdateFreeSpace()
{
    const QString freeText = GetStorageSize(FreeBytesQueryInUse()(m_strDir));
    m_pFreeSpaceLabel->setText(freeText.isEmpty() ? QString() : Str("NdDownloader.Sheng").arg(freeText));
}

QString NdSetDownloadPathDlg::GetStorageSize(qint64 freeBytes)
{
    if (freeBytes < 0) {
        // An unknown free space blocks nothing; the download checks again.
        m_bEnoughSpace = true;
        m_pNoFreeDiskSizeLabel->hide();
        UpdateOkButton();
        return QString();
    }
    const double freeMegabytes = static_cast<double>(freeBytes) / 1000.0 / 1000.0;
    m_bEnoughSpace = 3.0 * static_cast<double>(m_fTotalSize) <= freeMegabytes;
    m_pNoFreeDiskSizeLabel->setVisible(!m_bEnoughSpace);
    UpdateOkButton();

    double value = static_cast<double>(freeBytes);
    const char* const units[] = {"B", "KB", "MB", "GB"};
    int unit = 0;
    while (unit < 3 && value >= 1000.0) {
        value /= 1000.0;
        ++unit;
    }
    return QString::number(value, 'f', 2) + QLatin1String(units[unit]);
}

void NdSetDownloadPathDlg::UpdateOkButton()
{
    m_pOkBtn->setEnabled(!m_bRefused && m_bEnoughSpace);
}

QString NdSetDownloadPathDlg::GetElidedText(const QFont& font, QString text, int width) const
{
    return NdElideRight(font, text, width);
}

void NdSetDownloadPathDlg::resizeEvent(QResizeEvent* event)
{
    NdDialog::resizeEvent(event);
    // Over the right end of the path field, in the room the path, elided to
    // 180 pixels, leaves free: wide enough for a free space such as 999.99GB.
    const QRect field = m_pPathEdit->geometry();
    m_pFreeSpaceLabel->setGeometry(
        QRect(QPoint(field.right() - kFreeSpaceWidth, field.top() + 6), QPoint(field.right() - 1, field.top() + 25)));
}

void NdSetDownloadPathDlg::showEvent(QShowEvent* event)
{
    NdDialog::showEvent(event);
    m_pFileNameLabel->setText(GetElidedText(
        m_pFileNameLabel->font(), m_pFileNameLabel->text(), qMin(m_pFileNameLabel->width(), kFileNameElideWidth)));
    if (!m_bRefused)
        m_pPathEdit->setText(GetElidedText(m_pPathEdit->font(), m_strDir, kPathElideWidth));
}
