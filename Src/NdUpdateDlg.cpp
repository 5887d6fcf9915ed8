#include "NdUpdateDlg.h"

#include "NdButton.h"
#include "NdLabel.h"
#include "NdLanguageHelper.h"
#include "NdReporter.h"
#include "NdUpdateProgressDlg.h"
#include "NdVersion.h"

#include "NdCore/NdCommHelper.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

namespace {

NdButton* MakeButton(QWidget* parent, const char* objectName, int width)
{
    NdButton* button = new NdButton(parent);
    button->setObjectName(QLatin1String(objectName));
    button->setFixedSize(width, 32);
    return button;
}

} // namespace

NdUpdateDlg::NdUpdateDlg(QWidget* parent, const NdSoftVersion_t& version)
    : NdDialog(parent, true, version.MustUpdate)
    , HasNewVersion(!version.Version.empty() && NdCommHelper::FromUtf8(version.Version) != NdProgramVersion())
    , MustUpdate(version.MustUpdate)
    , Version(version)
{
    InitUi();
    ConnectSignals();
    TranslateText();
    if (HasNewVersion)
        resize(480, 318);
    else
        resize(480, 274);
}

void NdUpdateDlg::InitUi()
{
    LogoLabel = NdMakeLabel(this, "NdUpdateDlg_LogoLabel");
    LogoLabel->setFixedSize(248, 44);
    NewVersionLabel = NdMakeLabel(this, "NdUpdateDlg_NewVersionLabel");
    NewVersionLabel->setFixedHeight(22);
    VersionLabel = NdMakeLabel(this, "NdUpdateDlg_VersionLabel");
    VersionLabel->setFixedHeight(22);
    UpdateTextLabel = NdMakeLabel(this, "NdUpdateDlg_UpdateTextLabel");
    // The version and its description come from the server: shown as they are, never rendered
    // (no pictures fetched, no links offered).
    NewVersionLabel->setTextFormat(Qt::PlainText);
    UpdateTextLabel->setTextFormat(Qt::PlainText);
    NextTimeBtn = MakeButton(this, "NdUpdateDlg_NextTimeBtn", 88);
    UpdateBtn = MakeButton(this, "NdUpdateDlg_UpdateBtn", 88);
    MustUpdateBtn = MakeButton(this, "NdUpdateDlg_UpdateBtn", 88);
    OkBtn = MakeButton(this, "NdUpdateDlg_UpdateBtn", 74);

    const bool optional = HasNewVersion && !MustUpdate;
    NewVersionLabel->setVisible(HasNewVersion);
    VersionLabel->setVisible(!HasNewVersion);
    NextTimeBtn->setVisible(optional);
    UpdateBtn->setVisible(optional);
    MustUpdateBtn->setVisible(HasNewVersion && MustUpdate);
    OkBtn->setVisible(!HasNewVersion);

    QHBoxLayout* buttonRow = new QHBoxLayout();
    buttonRow->setSpacing(12);
    buttonRow->addStretch();
    buttonRow->addWidget(NextTimeBtn);
    buttonRow->addWidget(MustUpdateBtn);
    buttonRow->addWidget(UpdateBtn);
    buttonRow->addWidget(OkBtn);
    buttonRow->addStretch();

    QVBoxLayout* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 50, 0, 50);
    layout->setSpacing(0);
    KeepSizeByMargins(layout, 50, 50);
    layout->addWidget(LogoLabel, 0, Qt::AlignCenter);
    layout->addSpacing(16);
    layout->addWidget(NewVersionLabel, 0, Qt::AlignCenter);
    layout->addWidget(VersionLabel, 0, Qt::AlignCenter);
    layout->addSpacing(24);
    layout->addWidget(UpdateTextLabel, 0, Qt::AlignCenter);
    layout->addSpacing(34);
    layout->addLayout(buttonRow);
}

void NdUpdateDlg::ConnectSignals()
{
    SetKeyButtons({UpdateBtn, MustUpdateBtn, OkBtn}, NextTimeBtn);
    connect(UpdateBtn, &NdButton::clicked, this, &NdUpdateDlg::StartUpdate);
    connect(MustUpdateBtn, &NdButton::clicked, this, &NdUpdateDlg::StartUpdate);
    connect(NextTimeBtn, &NdButton::clicked, this, [this]() {
        NdReportClick("btn_updatedlg_next_time");
        done(0);
    });
    connect(OkBtn, &NdButton::clicked, this, [this]() { done(0); });
}

void NdUpdateDlg::StartUpdate()
{
    NdReportClick("btn_updatedlg_update");
    done(0);
    NdUpdateProgressDlg progress(this, Version);
    progress.resize(480, 206);
    progress.DoModal();
}

void NdUpdateDlg::TranslateText()
{
    NewVersionLabel->setText(Str("NdDownloader.FindNewVersion").arg(NdCommHelper::FromUtf8(Version.Version)));
    VersionLabel->setText(QStringLiteral("V") + NdProgramVersion());
    UpdateTextLabel->setText(HasNewVersion ? NdCommHelper::FromUtf8(Version.Msg) : Str("NdDownloader.LastVersion"));
    NextTimeBtn->setText(Str("NdDownloader.NextUpdate"));
    UpdateBtn->setText(Str("NdDownloader.UpdateNow"));
    MustUpdateBtn->setText(Str("NdDownloader.UpdateNow"));
    OkBtn->setText(Str("NdDownloader.Sure"));
}
