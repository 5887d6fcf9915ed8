#include "NdTaskItem.h"

#include "INdDownloaderBackEnd.h"
#include "NdButton.h"
#include "NdLabel.h"
#include "NdLanguageHelper.h"
#include "NdRadiusTipLabel.h"

#include "NdCore/NdCommHelper.h"
#include "NdCore/NdLogManager.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QHBoxLayout>
#include <QUrl>

namespace {

const int kNameElideWidth = 220;

QString Number(double value)
{
    return QString::number(value, 'f', 2);
}

NdButton* MakeRowButton(QWidget* parent, const char* objectName)
{
    return NdMakeButton(parent, objectName, QSize(16, 16));
}

} // namespace

NdTaskItem::NdTaskItem(QWidget* parent, const DownloadTaskParam_t& param) : NdWidget(parent), Param(param)
{
    InitUi();
    ConnectSignals();
    TranslateText();
    Update();
}

void NdTaskItem::InitUi()
{
    FileImageLabel = NdMakeLabel(this, "NdTaskItem_FileImageLabel");
    FileImageLabel->setFixedSize(24, 24);

    FileNameLabel = new NdRadiusTipLabel(this);
    FileNameLabel->setObjectName(QStringLiteral("NdTaskItem_FileNameLabel"));
    FileNameLabel->setFixedSize(292, 24);
    FileNameLabel->SetTipOffset(150);
    FileNameLabel->SetTipArrowPos(20);

    SizeLabel = NdMakeLabel(this, "NdTaskItem_TextLabel");
    SizeLabel->setFixedSize(240, 24);
    StateImageLabel = NdMakeLabel(this, "NdTaskItem_StateImageLabel");
    StateImageLabel->setFixedSize(24, 24);
    StateTextLabel = NdMakeLabel(this, "NdTaskItem_TextLabel");
    StateTextLabel->setFixedHeight(24);
    SpeedLabel = NdMakeLabel(this, "NdTaskItem_NetWorkSpeedLabel");
    SpeedLabel->setFixedHeight(24);

    StartPauseBtn = MakeRowButton(this, "NdTaskItem_StartPauseBtn");
    StartPauseBtn->setCheckable(true);
    FolderBtn = MakeRowButton(this, "NdTaskItem_FolderBtn");
    DeleteBtn = MakeRowButton(this, "NdTaskItem_DeleteBtn");

    SplitLabel = NdMakeLabel(this, "NdTaskItem_SplitLabel");

    QHBoxLayout* layout = new QHBoxLayout(this);
    layout->setContentsMargins(13, 0, 10, 0);
    layout->setSpacing(0);
    layout->addWidget(FileImageLabel, 0, Qt::AlignCenter);
    layout->addSpacing(8);
    layout->addWidget(FileNameLabel, 0, Qt::AlignCenter);
    layout->addSpacing(50);
    layout->addWidget(SizeLabel, 0, Qt::AlignCenter);
    layout->addWidget(StateImageLabel, 0, Qt::AlignCenter);
    layout->addSpacing(5);
    layout->addWidget(StateTextLabel, 0, Qt::AlignCenter);
    layout->addSpacing(5);
    layout->addWidget(SpeedLabel, 0, Qt::AlignCenter);
    layout->addStretch();
    layout->addWidget(StartPauseBtn, 0, Qt::AlignCenter);
    layout->addSpacing(16);
    layout->addWidget(FolderBtn, 0, Qt::AlignCenter);
    layout->addSpacing(16);
    layout->addWidget(DeleteBtn, 0, Qt::AlignCenter);
    layout->addSpacing(9);
}

void NdTaskItem::ConnectSignals()
{
    connect(DeleteBtn, &NdButton::clicked, this, &NdTaskItem::sigDelete);
    connect(StartPauseBtn, &NdButton::clicked, this, &NdTaskItem::onStartPauseClicked);
    connect(FolderBtn, &NdButton::clicked, this, &NdTaskItem::onFolderClicked);
}

void NdTaskItem::TranslateText()
{
    const QString name = NdCommHelper::FromUtf8(Param.VideoName);
    // Measured in the font the style sheet gives the label.
    FileNameLabel->ensurePolished();
    FileNameLabel->setText(NdElideRight(FileNameLabel->font(), name, kNameElideWidth));
    FileNameLabel->SetTip(name);
    FolderBtn->setToolTip(Str("NdDownloader.OpenFileDir"));
    DeleteBtn->setToolTip(Str("NdDownloader.DeleteTask"));
}

const DownloadTaskParam_t& NdTaskItem::GetDownloadTaskParam() const
{
    return Param;
}

void NdTaskItem::SetDownloadTaskParam(const DownloadTaskParam_t& param)
{
    Param = param;
}

void NdTaskItem::Bind(const DownloadTaskParam_t& param, int lastPercent, const QString& speed, const QString& timeLeft)
{
    Param = param;
    LastReportedPercent = lastPercent;
    Speed = speed;
    TimeLeft = timeLeft;
    TranslateText();
    Update();
}

void NdTaskItem::ShowTimeLeft(const QString& timeLeft)
{
    TimeLeft = timeLeft;
    ShowSpeed();
}

// Before the first figures of a run the speed reads as nothing yet.
void NdTaskItem::ShowSpeed()
{
    if (Param.VideoState != Downloading) {
        SpeedLabel->setText(QString());
        return;
    }
    const QString speed = Speed.isEmpty() ? QStringLiteral("0KB/S") : Speed;
    SpeedLabel->setText(TimeLeft.isEmpty() ? speed : speed + QStringLiteral("  ") + TimeLeft);
}

void NdTaskItem::SetSelected(bool selected)
{
    NdSetStyleProperty(this, "selected", selected);
}

void NdTaskItem::OpenVideo()
{
    if (Param.VideoState != Finished && Param.VideoState != MissFile)
        return;
    if (IsOutputFileMissing()) {
        Update();
        return;
    }
    QDesktopServices::openUrl(QUrl::fromLocalFile(NdCommHelper::FromUtf8(Param.VideoDownloadPath) + QLatin1Char('/')
        + NdCommHelper::FromUtf8(Param.VideoName) + QStringLiteral(".mp4")));
}

void NdTaskItem::ClickStartPause()
{
    if (StartPauseBtn->isVisible())
        StartPauseBtn->click();
}

void NdTaskItem::ClickDelete()
{
    DeleteBtn->click();
}

void NdTaskItem::ClickFolder()
{
    FolderBtn->click();
}

void NdTaskItem::mousePressEvent(QMouseEvent* event)
{
    NdWidget::mousePressEvent(event);
    emit sigSelected();
}

void NdTaskItem::mouseDoubleClickEvent(QMouseEvent* event)
{
    NdWidget::mouseDoubleClickEvent(event);
    OpenVideo();
}

void NdTaskItem::Update()
{
    // The missing file is found first, so that the row looks the same on every
    // redraw after the file went away.
    if (Param.VideoState == Finished && IsOutputFileMissing())
        Param.VideoState = MissFile;
    const int state = Param.VideoState;

    ShowStartPause(state, state == Downloading);
    if (state == Finished || state == MissFile)
        SizeLabel->setText(GetSizeNumberStr(Param.VideoTranscodeFileSize));
    else
        SizeLabel->setText(GetSizeNumberStr(Param.VideoDownloadFileSize, Param.VideoFileSize));
    ShowStateText(state, PercentOfRecord());
    ShowStateIcon(state);
    ShowSpeed();
}

void NdTaskItem::onRefreshDownloadResult(float size, int percent, int state, const QString& speed)
{
    Param.VideoDownloadFileSize = size;
    Param.VideoState = state;
    LastReportedPercent = percent;

    ShowStateIcon(state);
    if (state == NoDisk)
        emit sigShowWindow();
    ShowStartPause(state, state == Wait || state == Downloading);

    if (state == Finished)
        SizeLabel->setText(GetSizeNumberStr(size));
    else
        SizeLabel->setText(GetSizeNumberStr(size, Param.VideoFileSize));
    ShowStateText(state, percent);
    Speed = speed;
    ShowSpeed();
}

void NdTaskItem::onVideoRenamed(const QString& videoName)
{
    Param.VideoName = NdCommHelper::ToUtf8(videoName);
    TranslateText();
}

void NdTaskItem::ShowStartPause(int state, bool pauseLook)
{
    NdSetStyleProperty(StartPauseBtn, "state", pauseLook ? QStringLiteral("pause") : QStringLiteral("start"));
    StartPauseBtn->setToolTip(pauseLook ? Str("NdDownloader.PauseDownload") : Str("NdDownloader.StartDownload"));
    StartPauseBtn->setVisible(state != Transcoding && state != Finished);
}

void NdTaskItem::ShowStateIcon(int state)
{
    NdSetStyleProperty(StateImageLabel, "downloadState", GetStateStrFromDowmloadState(state));
}

void NdTaskItem::ShowStateText(int state, int percent)
{
    QString text = GetTextFromDownloadState(state);
    if (state == Downloading)
        text += QStringLiteral("%1%").arg(percent);
    StateTextLabel->setText(text);
}

int NdTaskItem::PercentOfRecord() const
{
    if (Param.VideoFileSize > 0.0f)
        return static_cast<int>(Param.VideoDownloadFileSize / Param.VideoFileSize * 100.0f);
    return LastReportedPercent;
}

bool NdTaskItem::IsOutputFileMissing() const
{
    const QString file = NdCommHelper::FromUtf8(Param.VideoDownloadPath) + QLatin1Char('/')
        + NdCommHelper::FromUtf8(Param.VideoName) + QStringLiteral(".mp4");
    return !QFile::exists(file);
}

void NdTaskItem::onStartPauseClicked()
{
    switch (Param.VideoState) {
    case Transcoding:
        return;
    case Wait:
        emit sigToastTip(QStringLiteral("tip"), Str("NdDownloader.MaxFileCount"), QSize(200, 38));
        break;
    case Paused:
    case Failed:
    case NoDisk:
        RequestStateChange(Wait, "btn_start_download");
        break;
    case Downloading:
        RequestStateChange(Paused, "btn_stop_download");
        break;
    default:
        break;
    }
    Update();
}

void NdTaskItem::RequestStateChange(int newState, const char* event)
{
    Param.VideoState = newState;
    NdDownloaderInterface::INdDownloaderBackEnd::GetInstance()->ReportInfo(Param, DownloadReport, event, true);
    ND_LOG(LogInfo, "click %s", event);
    emit sigChangeDownloadState(Param);
}

void NdTaskItem::onFolderClicked()
{
    const QString folder = NdCommHelper::FromUtf8(Param.VideoDownloadPath);
    if (!QDir(folder).exists()) {
        QDir().mkpath(folder);
    } else {
        NdClearHover(FolderBtn);
    }
    QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

void NdTaskItem::resizeEvent(QResizeEvent* event)
{
    NdWidget::resizeEvent(event);
    SplitLabel->setGeometry(0, height() - 1, width(), 1);
}

QString NdTaskItem::GetTextFromDownloadState(int state)
{
    const char* key = NdDownloadStateTextKey(state);
    return (key && *key) ? Str(key) : QString();
}

QString NdTaskItem::GetStateStrFromDowmloadState(int state)
{
    return QString::fromLatin1(NdDownloadStateStyle(state));
}

QString NdTaskItem::GetSizeNumberStr(float size)
{
    if (size >= 1024.0f)
        return Number(size / 1024.0f) + QStringLiteral("GB");
    return Number(size) + QStringLiteral("MB");
}

QString NdTaskItem::GetTimeLeftStr(qint64 seconds)
{
    if (seconds < 0)
        return QString();
    if (seconds >= 3600)
        return Str("NdDownloader.LeftHours").arg(seconds / 3600).arg(seconds % 3600 / 60);
    if (seconds >= 60)
        return Str("NdDownloader.LeftMinutes").arg(seconds / 60).arg(seconds % 60);
    return Str("NdDownloader.LeftSeconds").arg(seconds);
}

QString NdTaskItem::GetSizeNumberStr(float done, float total)
{
    // A task made from a playlist address has no announced size: "7.00MB/0.00MB"
    // would read as a broken download, so show what has arrived.
    if (total <= 0.0f)
        return GetSizeNumberStr(done);
    if (total >= 1024.0f)
        return Number(done / 1024.0f) + QStringLiteral("GB/") + Number(total / 1024.0f) + QStringLiteral("GB");
    return Number(done) + QStringLiteral("MB/") + Number(total) + QStringLiteral("MB");
}
