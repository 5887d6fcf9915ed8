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
    : NdTitleBar(target, true, false, true), m_version(version)
{
    InitUi();
    ConnectSignals();
    TranslateText();
}

bool NdDownloaderTitleBar::HasUpdateDot() const
{
    return NdCommHelper::FromUtf8(m_version.Version) != NdProgramVersion();
}

void NdDownloaderTitleBar::InitUi()
{
    MakeRoundButton(GetBtn(CloseBtn), "NdDownloaderTitleBar_Macos_CloseBtn");
    MakeRoundButton(GetBtn(MinimizeBtn), "NdDownloaderTitleBar_Macos_MinBtn");
    GetBtn(NormalBtn)->hide();
    GetBtn(MaximizeBtn)->hide();
    SetLogoLabelObjName(QStringLiteral("NdDownloaderTitleBar_LogoLabel"));
    SetLogoSize(QSize(124, 22));

    m_pTutorialsBtn = MakeTextButton(this);
    m_pFirstLineLabel = MakeLineLabel(this);
    m_pAboutBtn = MakeTextButton(this);
    m_pSecondLineLabel = MakeLineLabel(this);
    m_pCheckUpdateBtn = MakeTextButton(this);
    m_pUpdateDotLabel = new NdLabel(this);
    m_pUpdateDotLabel->setFixedHeight(20);
    m_pUpdateDotLabel->setAlignment(Qt::AlignTop);
    m_pUpdateDotLabel->setPixmap(UpdateDotPixmap());

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
    layout->addWidget(m_pTutorialsBtn, 0, Qt::AlignVCenter);
    layout->addSpacing(16);
    layout->addWidget(m_pFirstLineLabel, 0, Qt::AlignVCenter);
    layout->addSpacing(16);
    layout->addWidget(m_pAboutBtn, 0, Qt::AlignVCenter);
    layout->addSpacing(16);
    layout->addWidget(m_pSecondLineLabel, 0, Qt::AlignVCenter);
    layout->addSpacing(16);
    layout->addWidget(m_pCheckUpdateBtn, 0, Qt::AlignVCenter);
    if (HasUpdateDot()) {
        layout->addSpacing(2);
        layout->addWidget(m_pUpdateDotLabel, 0, Qt::AlignVCenter);
    } else {
        m_pUpdateDotLabel->hide();
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
    connect(m_pTutorialsBtn, &NdButton::clicked, this, &NdDownloaderTitleBar::onTutorialsClicked);
    connect(m_pAboutBtn, &NdButton::clicked, this, &NdDownloaderTitleBar::sigAbout);
    connect(m_pCheckUpdateBtn, &NdButton::clicked, this, &NdDownloaderTitleBar::sigCheckUpdate);
}

void NdDownloaderTitleBar::TranslateText()
{
    m_pTutorialsBtn->setText(Str("NdDownloader.Tutorials"));
    m_pAboutBtn->setText(Str("NdDownloader.About"));
    m_pCheckUpdateBtn->setText(Str("NdDownloader.CheckUpdate"));
}

void NdDownloaderTitleBar::onTutorialsClicked()
{
    NdReportClick("btn_how_to_use");
    NdClearHover(m_pTutorialsBtn);
    QDesktopServices::openUrl(QUrl(NdDeploySettings::Get().TutorialUrl));
}
