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
    CreateFileHeaderLabels(TitleLabel, SplitLineLabel, FileImageLabel);
    FileNameLabel = NdMakeLabel(this, "NdCloseDlg_FileNameLabel");
    FileNameLabel->setMaximumWidth(200);
    FileCountLabel = NdMakeLabel(this, "NdCloseDlg_DownloadingLabel");
    FileCountLabel->setFixedHeight(20);
    FileCountLabel->setAlignment(Qt::AlignCenter);
    TotalSizeLabel = NdMakeLabel(this, "NdCloseDlg_DownloadingLabel");
    DownloadToLabel = NdMakeLabel(this, "NdCloseDlg_FileNameLabel");
    DownloadToLabel->setFixedHeight(24);
    PathEdit = new QLineEdit(this);
    PathEdit->setObjectName(QStringLiteral("NdCloseDlg_LineEdit"));
    PathEdit->setReadOnly(true);
    PathEdit->setFixedSize(282, 32);
    BrowseBtn = MakeButton(this, "NdCloseDlg_CancleBtn");
    FreeSpaceLabel = NdMakeLabel(this, "NdCloseDlg_DownloadingLabel");
    FreeSpaceLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    NoFreeDiskSizeLabel = NdMakeLabel(this, "NdSetDownloadPathDlg_NoFreeDiskSizeLabel");
    NoFreeDiskSizeLabel->setFixedHeight(24);
    NoFreeDiskSizeLabel->hide();
    CancelBtn = MakeButton(this, "NdCloseDlg_CancleBtn");
    OkBtn = MakeButton(this, "NdCloseDlg_OkBtn");

    QVBoxLayout* nameColumn = new QVBoxLayout();
    nameColumn->setSpacing(4);
    nameColumn->addWidget(FileNameLabel, 0, Qt::AlignLeft);
    nameColumn->addWidget(TotalSizeLabel, 0, Qt::AlignLeft);
    QHBoxLayout* fileRow = new QHBoxLayout();
    fileRow->setSpacing(8);
    fileRow->addWidget(FileImageLabel);
    fileRow->addLayout(nameColumn);
    fileRow->addWidget(FileCountLabel, 0, Qt::AlignTop);
    fileRow->addStretch();

    QHBoxLayout* pathRow = new QHBoxLayout();
    pathRow->setSpacing(12);
    pathRow->addWidget(DownloadToLabel);
    pathRow->addWidget(PathEdit);
    pathRow->addWidget(BrowseBtn);

    QVBoxLayout* layout = CreateFileDialogLayout(SplitLineLabel, fileRow);
    layout->addLayout(pathRow);
    layout->addWidget(NoFreeDiskSizeLabel);
    AddButtonRow(layout, {CancelBtn, OkBtn});
}

void NdSetDownloadPathDlg::ConnectSignals()
{
    SetKeyButtons({OkBtn}, CancelBtn);
    connect(BrowseBtn, &NdButton::clicked, this, &NdSetDownloadPathDlg::onBrowseClicked);
    connect(OkBtn, &NdButton::clicked, this, [this]() {
        NdCacheManager::GetInstance()->SetLastDownloadPath(NdCommHelper::ToUtf8(Dir));
        done(1);
    });
    connect(CancelBtn, &NdButton::clicked, this, [this]() { done(0); });
}

void NdSetDownloadPathDlg::TranslateText()
{
    TitleLabel->setText(Str("NdDownloader.SetDownloadPath"));
    DownloadToLabel->setText(Str("NdDownloader.DownloadTo"));
    BrowseBtn->setText(Str("NdDownloader.Browse"));
    NoFreeDiskSizeLabel->setText(Str("NdDownloader.NoFreeDiskSize"));
    CancelBtn->setText(Str("NdDownloader.Cancel"));
    OkBtn->setText(Str("NdDownloader.Sure"));
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
    Refused = false;
    Dir = folder;
    PathEdit->setStyleSheet(QStringLiteral("color:black"));
    PathEdit->setText(GetElidedText(PathEdit->font(), folder, kPathElideWidth));
    PathEdit->setToolTip(folder);
    UpdateFreeSpace();
}

void NdSetDownloadPathDlg::ShowRefusedFolder()
{
    Refused = true;
    const QString warning = Str("NdDownloader.NoWrite");
    PathEdit->setText(GetElidedText(PathEdit->font(), warning, kRefusedElideWidth));
    PathEdit->setStyleSheet(QStringLiteral("color:red"));
    PathEdit->setToolTip(warning);
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
    FileNameLabel->setText(name);
    FileCountLabel->setText(count > 1 ? Str("NdDownloader.FileCount").arg(count) : QString());
    FileCount = count;
    TotalSize = totalSize;
    TotalSizeLabel->setText(NdTaskItem::GetSizeNumberStr(totalSize));
    UpdateFreeSpace();
}

QString NdSetDownloadPathDlg::GetDir() const
{
    return Dir;
}

// The free space is measured for the chosen folder itself: the field may show
// an elided path or the refusal text.
void NdSetDownloadPathDlg::UpdateFreeSpace()
{
    const QString freeText = GetStorageSize(FreeBytesQueryInUse()(Dir));
    FreeSpaceLabel->setText(freeText.isEmpty() ? QString() : Str("NdDownloader.Sheng").arg(freeText));
}

QString NdSetDownloadPathDlg::GetStorageSize(qint64 freeBytes)
{
    if (freeBytes < 0) {
        // An unknown free space blocks nothing; the download checks again.
        EnoughSpace = true;
        NoFreeDiskSizeLabel->hide();
        UpdateOkButton();
        return QString();
    }
    const double freeMegabytes = static_cast<double>(freeBytes) / 1000.0 / 1000.0;
    EnoughSpace = 3.0 * static_cast<double>(TotalSize) <= freeMegabytes;
    NoFreeDiskSizeLabel->setVisible(!EnoughSpace);
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
    OkBtn->setEnabled(!Refused && EnoughSpace);
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
    const QRect field = PathEdit->geometry();
    FreeSpaceLabel->setGeometry(
        QRect(QPoint(field.right() - kFreeSpaceWidth, field.top() + 6), QPoint(field.right() - 1, field.top() + 25)));
}

void NdSetDownloadPathDlg::showEvent(QShowEvent* event)
{
    NdDialog::showEvent(event);
    FileNameLabel->setText(
        GetElidedText(FileNameLabel->font(), FileNameLabel->text(), qMin(FileNameLabel->width(), kFileNameElideWidth)));
    if (!Refused)
        PathEdit->setText(GetElidedText(PathEdit->font(), Dir, kPathElideWidth));
}
