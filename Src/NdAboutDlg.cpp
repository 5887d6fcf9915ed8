#include "NdAboutDlg.h"

#include "NdButton.h"
#include "NdLabel.h"
#include "NdLanguageHelper.h"
#include "NdReporter.h"
#include "NdTitleBar.h"
#include "NdVersion.h"
#include "NdWidget.h"

#include "NdCore/NdDeploySettings.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QUrl>
#include <QVBoxLayout>

NdAboutDlg::NdAboutDlg(QWidget* parent) : NdDialog(parent, true, false)
{
    InitUi();
    ConnectSignals();
    TranslateText();
}

void NdAboutDlg::InitUi()
{
    m_pBackground = new NdWidget(this);
    m_pBackground->setObjectName(QStringLiteral("NdAboutDlg_Background"));
    m_pBackground->setFixedSize(420, 280);
    QVBoxLayout* dialogLayout = new QVBoxLayout(this);
    dialogLayout->setContentsMargins(0, 0, 0, 0);
    dialogLayout->setSpacing(0);
    dialogLayout->addWidget(m_pBackground);
    // The background covers the dialog; its close button stays on top.
    GetTitleBar()->raise();

    m_pLogoLabel = new NdLabel(m_pBackground);
    m_pLogoLabel->setObjectName(QStringLiteral("NdAboutDlg_LogoLabel"));
    m_pLogoLabel->setFixedSize(248, 44);
    m_pVersionLabel = new NdLabel(m_pBackground);
    m_pVersionLabel->setObjectName(QStringLiteral("NdAboutDlg_VersionLabel"));
    m_pVersionLabel->setFixedHeight(24);
    m_pWebsiteBtn = new NdButton(m_pBackground);
    m_pHelpCenterBtn = new NdButton(m_pBackground);
    for (NdButton* button : {m_pWebsiteBtn, m_pHelpCenterBtn}) {
        button->setObjectName(QStringLiteral("NdAboutDlg_Btn"));
        button->setFixedHeight(24);
        button->setCursor(Qt::PointingHandCursor);
    }
    m_pCopyRightLabel = new NdLabel(m_pBackground);
    m_pCopyRightLabel->setObjectName(QStringLiteral("NdAboutDlg_CopyRightLabel"));
    m_pCopyRightLabel->setFixedHeight(16);

    QHBoxLayout* linkRow = new QHBoxLayout();
    linkRow->setSpacing(24);
    linkRow->addStretch();
    linkRow->addWidget(m_pWebsiteBtn);
    linkRow->addWidget(m_pHelpCenterBtn);
    linkRow->addStretch();

    QVBoxLayout* layout = new QVBoxLayout(m_pBackground);
    layout->setContentsMargins(0, 62, 0, 34);
    layout->setSpacing(0);
    layout->addWidget(m_pLogoLabel, 0, Qt::AlignCenter);
    layout->addSpacing(34);
    layout->addWidget(m_pVersionLabel, 0, Qt::AlignCenter);
    layout->addSpacing(60);
    layout->addLayout(linkRow);
    layout->addSpacing(8);
    layout->addWidget(m_pCopyRightLabel, 0, Qt::AlignCenter);
}

void NdAboutDlg::ConnectSignals()
{
    connect(m_pWebsiteBtn, &NdButton::clicked, this, []() {
        NdReportClick("btn_aboutdlg_web");
        QDesktopServices::openUrl(QUrl(NdDeploySettings::Get().WebsiteUrl));
    });
    connect(m_pHelpCenterBtn, &NdButton::clicked, this, []() {
        NdReportClick("btn_aboutdlg_help_center");
        QDesktopServices::openUrl(QUrl(NdDeploySettings::Get().HelpCenterUrl));
    });
}

void NdAboutDlg::TranslateText()
{
    m_pVersionLabel->setText(QStringLiteral("V") + NdProgramVersion());
    m_pWebsiteBtn->setText(Str("NdDownloader.EnterOfficialWebsite"));
    m_pHelpCenterBtn->setText(Str("NdDownloader.HelpCenter"));
    m_pCopyRightLabel->setText(Str("NdDownloader.Copyright"));
}
