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
    Background = new NdWidget(this);
    Background->setObjectName(QStringLiteral("NdAboutDlg_Background"));
    Background->setFixedSize(420, 280);
    QVBoxLayout* dialogLayout = new QVBoxLayout(this);
    dialogLayout->setContentsMargins(0, 0, 0, 0);
    dialogLayout->setSpacing(0);
    dialogLayout->addWidget(Background);
    // The background covers the dialog; its close button stays on top.
    GetTitleBar()->raise();

    LogoLabel = NdMakeLabel(Background, "NdAboutDlg_LogoLabel");
    LogoLabel->setFixedSize(248, 44);
    VersionLabel = NdMakeLabel(Background, "NdAboutDlg_VersionLabel");
    VersionLabel->setFixedHeight(24);
    WebsiteBtn = new NdButton(Background);
    HelpCenterBtn = new NdButton(Background);
    for (NdButton* button : {WebsiteBtn, HelpCenterBtn}) {
        button->setObjectName(QStringLiteral("NdAboutDlg_Btn"));
        button->setFixedHeight(24);
        button->setCursor(Qt::PointingHandCursor);
    }
    CopyRightLabel = NdMakeLabel(Background, "NdAboutDlg_CopyRightLabel");
    CopyRightLabel->setFixedHeight(16);

    QHBoxLayout* linkRow = new QHBoxLayout();
    linkRow->setSpacing(24);
    linkRow->addStretch();
    linkRow->addWidget(WebsiteBtn);
    linkRow->addWidget(HelpCenterBtn);
    linkRow->addStretch();

    QVBoxLayout* layout = new QVBoxLayout(Background);
    layout->setContentsMargins(0, 62, 0, 34);
    layout->setSpacing(0);
    layout->addWidget(LogoLabel, 0, Qt::AlignCenter);
    layout->addSpacing(34);
    layout->addWidget(VersionLabel, 0, Qt::AlignCenter);
    layout->addSpacing(60);
    layout->addLayout(linkRow);
    layout->addSpacing(8);
    layout->addWidget(CopyRightLabel, 0, Qt::AlignCenter);
}

void NdAboutDlg::ConnectSignals()
{
    connect(WebsiteBtn, &NdButton::clicked, this, []() {
        NdReportClick("btn_aboutdlg_web");
        QDesktopServices::openUrl(QUrl(NdDeploySettings::Get().WebsiteUrl));
    });
    connect(HelpCenterBtn, &NdButton::clicked, this, []() {
        NdReportClick("btn_aboutdlg_help_center");
        QDesktopServices::openUrl(QUrl(NdDeploySettings::Get().HelpCenterUrl));
    });
}

void NdAboutDlg::TranslateText()
{
    VersionLabel->setText(QStringLiteral("V") + NdProgramVersion());
    WebsiteBtn->setText(Str("NdDownloader.EnterOfficialWebsite"));
    HelpCenterBtn->setText(Str("NdDownloader.HelpCenter"));
    CopyRightLabel->setText(Str("NdDownloader.Copyright"));
}
