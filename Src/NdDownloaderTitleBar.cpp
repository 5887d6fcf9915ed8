#include "NdDownloaderTitleBar.h"

#include "NdButton.h"
#include "NdLabel.h"
#include "NdLanguageHelper.h"
#include "NdReporter.h"
#include "NdVersion.h"

#include "NdCore/NdCommHelper.h"
#include "NdCore/NdDeploySettings.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QPainter>
#include <QUrl>

namespace {

NdButton* MakeTextButton(QWidget* parent)
{
    NdButton* button = new NdButton(parent);
    button->setObjectName(QStringLiteral("NdDownloaderTitleBar_Btn"));
    button->setFixedHeight(24);
    button->setCursor(Qt::PointingHandCursor);
    button->setFocusPolicy(Qt::NoFocus);
    return button;
}

NdLabel* MakeLineLabel(QWidget* parent)
{
    NdLabel* line = NdMakeLabel(parent, "NdDownloaderTitleBar_LineLabel");
    line->setFixedSize(1, 12);
    return line;
}

void MakeRoundButton(NdButton* button, const char* objectName)
{
    button->setObjectName(QLatin1String(objectName));
    button->setFixedSize(13, 13);
    button->setFocusPolicy(Qt::NoFocus);
}

} // namespace

NdDownloaderTitleBar::NdDownloaderTitleBar(QWidget* target, const NdSoftVersion_t& version)
    : NdTitleBar(target, true, false, true), Version(version)
{
    InitUi();
    ConnectSignals();
    TranslateText();
}

bool NdDownloaderTitleBar::HasUpdateDot() const
{
    return NdCommHelper::FromUtf8(Version.Version) != NdProgramVersion();
}

void NdDownloaderTitleBar::InitUi()
{
    MakeRoundButton(GetBtn(CloseBtn), "NdDownloaderTitleBar_Macos_CloseBtn");
    MakeRoundButton(GetBtn(MinimizeBtn), "NdDownloaderTitleBar_Macos_MinBtn");
    GetBtn(NormalBtn)->hide();
    GetBtn(MaximizeBtn)->hide();
    SetLogoLabelObjName(QStringLiteral("NdDownloaderTitleBar_LogoLabel"));
    SetLogoSize(QSize(124, 22));

    TutorialsBtn = MakeTextButton(this);
    FirstLineLabel = MakeLineLabel(this);
    AboutBtn = MakeTextButton(this);
    SecondLineLabel = MakeLineLabel(this);
    CheckUpdateBtn = MakeTextButton(this);
    UpdateDotLabel = new NdLabel(this);
    UpdateDotLabel->setFixedHeight(20);
    UpdateDotLabel->setAlignment(Qt::AlignTop);
    UpdateDotLabel->setPixmap(UpdateDotPixmap());

    // The kit's own layout goes; the widgets stay and are placed anew.
    delete layout();
    QHBoxLayout* layout = new QHBoxLayout(this);
    layout->setContentsMargins(16, 0, 10, 0);
    layout->setSpacing(0);
    layout->addWidget(GetBtn(CloseBtn), 0, Qt::AlignVCenter);
    layout->addSpacing(8);
    layout->addWidget(GetBtn(MinimizeBtn), 0, Qt::AlignVCenter);
    layout->addSpacing(8);
    layout->addWidget(GetBtn(MaximizeBtn), 0, Qt::AlignVCenter);
    layout->addSpacing(8);
    layout->addWidget(GetLogoLabel(), 0, Qt::AlignVCenter);
    layout->addSpacing(7);
    layout->addWidget(GetProductNameLabel(), 0, Qt::AlignVCenter);
    layout->addStretch();
    layout->addWidget(TutorialsBtn, 0, Qt::AlignVCenter);
    layout->addSpacing(16);
    layout->addWidget(FirstLineLabel, 0, Qt::AlignVCenter);
    layout->addSpacing(16);
    layout->addWidget(AboutBtn, 0, Qt::AlignVCenter);
    layout->addSpacing(16);
    layout->addWidget(SecondLineLabel, 0, Qt::AlignVCenter);
    layout->addSpacing(16);
    layout->addWidget(CheckUpdateBtn, 0, Qt::AlignVCenter);
    if (HasUpdateDot()) {
        layout->addSpacing(2);
        layout->addWidget(UpdateDotLabel, 0, Qt::AlignVCenter);
    } else {
        UpdateDotLabel->hide();
    }
}

QPixmap NdDownloaderTitleBar::UpdateDotPixmap()
{
    QPixmap dot(5, 5);
    dot.fill(Qt::transparent);
    QPainter painter(&dot);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::red);
    painter.drawEllipse(dot.rect());
    return dot;
}

void NdDownloaderTitleBar::ConnectSignals()
{
    connect(this, &NdDownloaderTitleBar::sigClickMinBtn, GetBtn(MinimizeBtn), &NdButton::clicked);
    connect(TutorialsBtn, &NdButton::clicked, this, &NdDownloaderTitleBar::onTutorialsClicked);
    connect(AboutBtn, &NdButton::clicked, this, &NdDownloaderTitleBar::sigAbout);
    connect(CheckUpdateBtn, &NdButton::clicked, this, &NdDownloaderTitleBar::sigCheckUpdate);
}

void NdDownloaderTitleBar::TranslateText()
{
    TutorialsBtn->setText(Str("NdDownloader.Tutorials"));
    AboutBtn->setText(Str("NdDownloader.About"));
    CheckUpdateBtn->setText(Str("NdDownloader.CheckUpdate"));
}

void NdDownloaderTitleBar::onTutorialsClicked()
{
    NdReportClick("btn_how_to_use");
    NdClearHover(TutorialsBtn);
    QDesktopServices::openUrl(QUrl(NdDeploySettings::Get().TutorialUrl));
}
