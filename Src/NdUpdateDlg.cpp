#include "NdUpdateDlg.h"

#include "NdButton.h"
#include "NdLabel.h"
#include "NdLanguageHelper.h"
#include "NdReporter.h"
#include "NdUpdateProgressDlg.h"
#include "NdVersion.h"

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
    , m_bHasNewVersion(!version.Version.empty() && QString::fromStdString(version.Version) != NdProgramVersion())
    , m_bMustUpdate(version.MustUpdate)
    , m_version(version)
{
    InitUi();
    ConnectSignals();
    TranslateText();
    if (m_bHasNewVersion)
        resize(480, 318);
    else
        resize(480, 274);
}

void NdUpdateDlg::InitUi()
{
    m_pLogoLabel = new NdLabel(this);
    m_pLogoLabel->setObjectName(QStringLiteral("NdUpdateDlg_LogoLabel"));
    m_pLogoLabel->setFixedSize(248, 44);
    m_pNewVersionLabel = new NdLabel(this);
    m_pNewVersionLabel->setObjectName(QStringLiteral("NdUpdateDlg_NewVersionLabel"));
    m_pNewVersionLabel->setFixedHeight(22);
    m_pVersionLabel = new NdLabel(this);
    m_pVersionLabel->setObjectName(QStringLiteral("NdUpdateDlg_VersionLabel"));
    m_pVersionLabel->setFixedHeight(22);
    m_pUpdateTextLabel = new NdLabel(this);
    m_pUpdateTextLabel->setObjectName(QStringLiteral("NdUpdateDlg_UpdateTextLabel"));
    // The version and its description come from the server: shown as they are, never rendered
    // (no pictures fetched, no links offered).
    m_pNewVersionLabel->setTextFormat(Qt::PlainText);
    m_pUpdateTextLabel->setTextFormat(Qt::PlainText);
    m_pNextTimeBtn = MakeButton(this, "NdUpdateDlg_NextTimeBtn", 88);
    m_pUpdateBtn = MakeButton(this, "NdUpdateDlg_UpdateBtn", 88);
    m_pMustUpdateBtn = MakeButton(this, "NdUpdateDlg_UpdateBtn", 88);
    m_pOkBtn = MakeButton(this, "NdUpdateDlg_UpdateBtn", 74);

    const bool optional = m_bHasNewVersion && !m_bMustUpdate;
    m_pNewVersionLabel->setVisible(m_bHasNewVersion);
    m_pVersionLabel->setVisible(!m_bHasNewVersion);
    m_pNextTimeBtn->setVisible(optional);
    m_pUpdateBtn->setVisible(optional);
    m_pMustUpdateBtn->setVisible(m_bHasNewVersion && m_bMustUpdate);
    m_pOkBtn->setVisible(!m_bHasNewVersion);

    QHBoxLayout* buttonRow = new QHBoxLayout();
    buttonRow->setSpacing(12);
    buttonRow->addStretch();
    buttonRow->addWidget(m_pNextTimeBtn);
    buttonRow->addWidget(m_pMustUpdateBtn);
    buttonRow->addWidget(m_pUpdateBtn);
    buttonRow->addWidget(m_pOkBtn);
    buttonRow->addStretch();

    QVBoxLayout* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 50, 0, 50);
    layout->setSpacing(0);
    KeepSizeByMargins(layout, 50, 50);
    layout->addWidget(m_pLogoLabel, 0, Qt::AlignCenter);
    layout->addSpacing(16);
    layout->addWidget(m_pNewVersionLabel, 0, Qt::AlignCenter);
    layout->addWidget(m_pVersionLabel, 0, Qt::AlignCenter);
    layout->addSpacing(24);
    layout->addWidget(m_pUpdateTextLabel, 0, Qt::AlignCenter);
    layout->addSpacing(34);
    layout->addLayout(buttonRow);
}

void NdUpdateDlg::ConnectSignals()
{
    SetKeyButtons({m_pUpdateBtn, m_pMustUpdateBtn, m_pOkBtn}, m_pNextTimeBtn);
    connect(m_pUpdateBtn, &NdButton::clicked, this, &NdUpdateDlg::StartUpdate);
    connect(m_pMustUpdateBtn, &NdButton::clicked, this, &NdUpdateDlg::StartUpdate);
    connect(m_pNextTimeBtn, &NdButton::clicked, this, [this]() {
        NdReportClick("btn_updatedlg_next_time");
        done(0);
    });
    connect(m_pOkBtn, &NdButton::clicked, this, [this]() { done(0); });
}

void NdUpdateDlg::StartUpdate()
{
    NdReportClick("btn_updatedlg_update");
    done(0);
    NdUpdateProgressDlg progress(this, m_version);
    progress.resize(480, 206);
    progress.DoModal();
}

void NdUpdateDlg::TranslateText()
{
    m_pNewVersionLabel->setText(Str("NdDownloader.FindNewVersion").arg(QString::fromStdString(m_version.Version)));
    m_pVersionLabel->setText(QStringLiteral("V") + NdProgramVersion());
    m_pUpdateTextLabel->setText(
        m_bHasNewVersion ? QString::fromStdString(m_version.Msg) : Str("NdDownloader.LastVersion"));
    m_pNextTimeBtn->setText(Str("NdDownloader.NextUpdate"));
    m_pUpdateBtn->setText(Str("NdDownloader.UpdateNow"));
    m_pMustUpdateBtn->setText(Str("NdDownloader.UpdateNow"));
    m_pOkBtn->setText(Str("NdDownloader.Sure"));
}
