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

NdTaskItem::NdTaskItem(QWidget* parent, const DownloadTaskParam_t& param) : NdWidget(parent), m_param(param)
{
    InitUi();
    ConnectSignals();
    TranslateText();
    Update();
}

void NdTaskItem::InitUi()
{
    m_pFileImageLabel = NdMakeLabel(this, "NdTaskItem_FileImageLabel");
    m_pFileImageLabel->setFixedSize(24, 24);

    m_pFileNameLabel = new NdRadiusTipLabel(this);
    m_pFileNameLabel->setObjectName(QStringLiteral("NdTaskItem_FileNameLabel"));
    m_pFileNameLabel->setFixedSize(292, 24);
    m_pFileNameLabel->SetTipOffset(150);
    m_pFileNameLabel->SetTipArrowPos(20);

    m_pSizeLabel = NdMakeLabel(this, "NdTaskItem_TextLabel");
    m_pSizeLabel->setFixedSize(240, 24);
    m_pStateImageLabel = NdMakeLabel(this, "NdTaskItem_StateImageLabel");
    m_pStateImageLabel->setFixedSize(24, 24);
    m_pStateTextLabel = NdMakeLabel(this, "NdTaskItem_TextLabel");
    m_pStateTextLabel->setFixedHeight(24);
    m_pSpeedLabel = NdMakeLabel(this, "NdTaskItem_NetWorkSpeedLabel");
    m_pSpeedLabel->setFixedHeight(24);

    m_pStartPauseBtn = MakeRowButton(this, "NdTaskItem_StartPauseBtn");
    m_pStartPauseBtn->setCheckable(true);
    m_pFolderBtn = MakeRowButton(this, "NdTaskItem_FolderBtn");
    m_pDeleteBtn = MakeRowButton(this, "NdTaskItem_DeleteBtn");

    m_pSplitLabel = NdMakeLabel(this, "NdTaskItem_SplitLabel");

    QHBoxLayout* layout = new QHBoxLayout(this);
    layout->setContentsMargins(13, 0, 10, 0);
    layout->setSpacing(0);
    layout->addWidget(m_pFileImageLabel, 0, Qt::AlignCenter);
    layout->addSpacing(8);
    layout->addWidget(m_pFileNameLabel, 0, Qt::AlignCenter);
    layout->addSpacing(50);
    layout->addWidget(m_pSizeLabel, 0, Qt::AlignCenter);
    layout->addWidget(m_pStateImageLabel, 0, Qt::AlignCenter);
    layout->addSpacing(5);
    layout->addWidget(m_pStateTextLabel, 0, Qt::AlignCenter);
    layout->addSpacing(5);
    layout->addWidget(m_pSpeedLabel, 0, Qt::AlignCenter);
    layout->addStretch();
    layout->addWidget(m_pStartPauseBtn, 0, Qt::AlignCenter);
    layout->addSpacing(16);
    layout->addWidget(m_pFolderBtn, 0, Qt::AlignCenter);
    layout->addSpacing(16);
    layout->addWidget(m_pDeleteBtn, 0, Qt::AlignCenter);
    layout->addSpacing(9);
}

void NdTaskItem::ConnectSignals()
{
    connect(m_pDeleteBtn, &NdButton::clicked, this, &NdTaskItem::sigDelete);
    connect(m_pStartPauseBtn, &NdButton::clicked, this, &NdTaskItem::onStartPauseClicked);
    connect(m_pFolderBtn, &NdButton::clicked, this, &NdTaskItem::onFolderClicked);
}

void NdTaskItem::TranslateText()
{
    const QString name = NdCommHelper::FromUtf8(m_param.VideoName);
    // Measured in the font the style sheet gives the label.
    m_pFileNameLabel->ensurePolished();
    m_pFileNameLabel->setText(NdElideRight(m_pFileNameLabel->font(), name, kNameElideWidth));
    m_pFileNameLabel->SetTip(name);
    m_pFolderBtn->setToolTip(Str("NdDownloader.OpenFileDir"));
    m_pDeleteBtn->setToolTip(Str("NdDownloader.DeleteTask"));
}

DownloadTaskParam_t NdTaskItem::GetDownloadTaskParam() const
{
    return m_param;
}

void NdTaskItem::SetDownloadTaskParam(const DownloadTaskParam_t& param)
{
    m_param = param;
}

void NdTaskItem::Bind(const DownloadTaskParam_t& param, int lastPercent, const QString& speed, const QString& timeLeft)
{
    m_param = param;
    m_nLastReportedPercent = lastPercent;
    m_strSpeed = speed;
    m_strTimeLeft = timeLeft;
    TranslateText();
    Update();
}

void NdTaskItem::ShowTimeLeft(const QString& timeLeft)
{
    m_strTimeLeft = timeLeft;
    ShowSpeed();
}

// Before the first figures of a run the speed reads as nothing yet.
void NdTaskItem::ShowSpeed()
{
    if (m_param.VideoState != Downloading) {
        m_pSpeedLabel->setText(QString());
        return;
    }
    const QString speed = m_strSpeed.isEmpty() ? QStringLiteral("0KB/S") : m_strSpeed;
    m_pSpeedLabel->setText(m_strTimeLeft.isEmpty() ? speed : speed + QStringLiteral("  ") + m_strTimeLeft);
}

void NdTaskItem::SetSelected(bool selected)
{
    if (property("selected").toBool() == selected)
        return;
    setProperty("selected", selected);
    NdRepolish(this);
}

void NdTaskItem::OpenVideo()
{
    if (m_param.VideoState != Finished && m_param.VideoState != MissFile)
        return;
    if (IsOutputFileMissing()) {
        Update();
        return;
    }
    QDesktopServices::openUrl(QUrl::fromLocalFile(NdCommHelper::FromUtf8(m_param.VideoDownloadPath) + QLatin1Char('/')
        + NdCommHelper::FromUtf8(m_param.VideoName) + QStringLiteral(".mp4")));
}

void NdTaskItem::ClickStartPause()
{
    if (m_pStartPauseBtn->isVisible())
        m_pStartPauseBtn->click();
}

void NdTaskItem::ClickDelete()
{
    m_pDeleteBtn->click();
}

void NdTaskItem::ClickFolder()
{
    m_pFolderBtn->click();
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
    if (m_param.VideoState == Finished && IsOutputFileMissing())
        m_param.VideoState = MissFile;
    const int state = m_param.VideoState;

    ShowStartPause(state, state == Downloading);
    if (state == Finished || state == MissFile)
        m_pSizeLabel->setText(GetSizeNumberStr(m_param.VideoTranscodeFileSize));
    else
        m_pSizeLabel->setText(GetSizeNumberStr(m_param.VideoDownloadFileSize, m_param.VideoFileSize));
    ShowStateText(state, PercentOfRecord());
    ShowStateIcon(state);
    ShowSpeed();
}

void NdTaskItem::onRefreshDownloadResult(float size, int percent, int state, const QString& speed)
{
    m_param.VideoDownloadFileSize = size;
    m_param.VideoState = state;
    m_nLastReportedPercent = percent;

    ShowStateIcon(state);
    if (state == NoDisk)
        emit sigShowWindow();
    ShowStartPause(state, state == Wait || state == Downloading);

    if (state == Finished)
        m_pSizeLabel->setText(GetSizeNumberStr(size));
    else
        m_pSizeLabel->setText(GetSizeNumberStr(size, m_param.VideoFileSize));
    ShowStateText(state, percent);
    m_strSpeed = speed;
    ShowSpeed();
}

void NdTaskItem::onVideoRenamed(const QString& videoName)
{
    m_param.VideoName = NdCommHelper::ToUtf8(videoName);
    TranslateText();
}

void NdTaskItem::ShowStartPause(int state, bool pauseLook)
{
    m_pStartPauseBtn->setProperty("state", pauseLook ? QStringLiteral("pause") : QStringLiteral("start"));
    m_pStartPauseBtn->setToolTip(pauseLook ? Str("NdDownloader.PauseDownload") : Str("NdDownloader.StartDownload"));
    NdRepolish(m_pStartPauseBtn);
    m_pStartPauseBtn->setVisible(state != Transcoding && state != Finished);
}

void NdTaskItem::ShowStateIcon(int state)
{
    m_pStateImageLabel->setProperty("downloadState", GetStateStrFromDowmloadState(state));
    NdRepolish(m_pStateImageLabel);
}

void NdTaskItem::ShowStateText(int state, int percent)
{
    QString text = GetTextFromDownloadState(state);
    if (state == Downloading)
        text += QStringLiteral("%1%").arg(percent);
    m_pStateTextLabel->setText(text);
}

int NdTaskItem::PercentOfRecord() const
{
    if (m_param.VideoFileSize > 0.0f)
        return static_cast<int>(m_param.VideoDownloadFileSize / m_param.VideoFileSize * 100.0f);
    return m_nLastReportedPercent;
}

bool NdTaskItem::IsOutputFileMissing() const
{
    const QString file = NdCommHelper::FromUtf8(m_param.VideoDownloadPath) + QLatin1Char('/')
        + NdCommHelper::FromUtf8(m_param.VideoName) + QStringLiteral(".mp4");
    return !QFile::exists(file);
}

void NdTaskItem::onStartPauseClicked()
{
    switch (m_param.VideoState) {
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
    m_param.VideoState = newState;
    NdDownloaderInterface::INdDownloaderBackEnd::GetInstance()->ReportInfo(m_param, DownloadReport, event, true);
    ND_LOG(LogInfo, "click %s", event);
    emit sigChangeDownloadState(m_param);
}

void NdTaskItem::onFolderClicked()
{
    const QString folder = NdCommHelper::FromUtf8(m_param.VideoDownloadPath);
    if (!QDir(folder).exists()) {
        QDir().mkpath(folder);
    } else {
        NdClearHover(m_pFolderBtn);
    }
    QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

void NdTaskItem::resizeEvent(QResizeEvent* event)
{
    NdWidget::resizeEvent(event);
    m_pSplitLabel->setGeometry(0, height() - 1, width(), 1);
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
