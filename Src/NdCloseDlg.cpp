#include "NdCloseDlg.h"

#include "NdButton.h"
#include "NdLabel.h"
#include "NdLanguageHelper.h"
#include "NdReporter.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QVBoxLayout>

NdCloseDlg::NdCloseDlg(QWidget* parent) : NdDialog(parent, true, false)
{
    InitUi();
    ConnectSignals();
    TranslateText();
}

void NdCloseDlg::InitUi()
{
    CreateFileHeaderLabels(m_pTitleLabel, m_pSplitLineLabel, m_pFileImageLabel);
    m_pFileNameLabel = NdMakeLabel(this, "NdCloseDlg_FileNameLabel");
    m_pFileNameLabel->setFixedWidth(236);
    m_pDownloadingLabel = NdMakeLabel(this, "NdCloseDlg_DownloadingLabel");
    m_pContinueCheckBox = new QCheckBox(this);
    m_pContinueCheckBox->setChecked(true);
    m_pQuitCheckBox = new QCheckBox(this);
    m_pQuitCheckBox->setChecked(false);
    for (QCheckBox* choice : {m_pContinueCheckBox, m_pQuitCheckBox}) {
        choice->setObjectName(QStringLiteral("NdCloseDlg_CheckBox"));
        choice->setFocusPolicy(Qt::NoFocus);
    }
    m_pCancelBtn = NdMakeButton(this, "NdCloseDlg_CancleBtn", QSize(74, 32));
    m_pOkBtn = NdMakeButton(this, "NdCloseDlg_OkBtn", QSize(74, 32));

    QVBoxLayout* fileColumn = new QVBoxLayout();
    fileColumn->setSpacing(4);
    fileColumn->addWidget(m_pFileNameLabel, 0, Qt::AlignLeft);
    fileColumn->addWidget(m_pDownloadingLabel, 0, Qt::AlignLeft);
    QHBoxLayout* fileRow = new QHBoxLayout();
    fileRow->setSpacing(8);
    fileRow->addWidget(m_pFileImageLabel);
    fileRow->addLayout(fileColumn);
    fileRow->addStretch();

    QVBoxLayout* layout = CreateFileDialogLayout(m_pSplitLineLabel, fileRow);
    layout->addWidget(m_pContinueCheckBox, 0, Qt::AlignLeft);
    layout->addSpacing(16);
    layout->addWidget(m_pQuitCheckBox, 0, Qt::AlignLeft);
    AddButtonRow(layout, {m_pCancelBtn, m_pOkBtn});
}

void NdCloseDlg::ConnectSignals()
{
    SetKeyButtons({m_pOkBtn}, m_pCancelBtn);
    connect(m_pContinueCheckBox, &QCheckBox::clicked, this,
        [this]() { Choose(m_pContinueCheckBox, m_pQuitCheckBox, "btn_closedlg_continue"); });
    connect(m_pQuitCheckBox, &QCheckBox::clicked, this,
        [this]() { Choose(m_pQuitCheckBox, m_pContinueCheckBox, "btn_closedlg_stop"); });
    connect(m_pOkBtn, &NdButton::clicked, this, [this]() {
        NdReportClick("btn_closedlg_confirm");
        done(m_pContinueCheckBox->isChecked() ? ContinueDownloading : StopAndQuit);
    });
    connect(m_pCancelBtn, &NdButton::clicked, this, [this]() {
        NdReportClick("btn_closedlg_cancel");
        done(Cancelled);
    });
}

// The two check boxes act as a radio pair: a click always leaves the clicked
// one ticked and the other one empty.
void NdCloseDlg::Choose(QCheckBox* chosen, QCheckBox* other, const char* event)
{
    NdReportClick(event);
    if (!chosen->isChecked())
        chosen->setChecked(true);
    other->setChecked(false);
}

void NdCloseDlg::TranslateText()
{
    m_pTitleLabel->setText(Str("NdDownloader.ShutdownTips"));
    m_pFileNameLabel->setText(Str("NdDownloader.TestFileName"));
    m_pDownloadingLabel->setText(Str("NdDownloader.Close.Downloading"));
    m_pContinueCheckBox->setText(Str("NdDownloader.ContinueAndTrayShow"));
    m_pQuitCheckBox->setText(Str("NdDownloader.StopAndQuit"));
    m_pCancelBtn->setText(Str("NdDownloader.Cancel"));
    m_pOkBtn->setText(Str("NdDownloader.Sure"));
}

void NdCloseDlg::SetDownloadFileName(const QString& name)
{
    m_pFileNameLabel->ensurePolished();
    m_pFileNameLabel->setText(NdElideRight(m_pFileNameLabel->font(), name, m_pFileNameLabel->width()));
}

void NdCloseDlg::resizeEvent(QResizeEvent* event)
{
    NdDialog::resizeEvent(event);
    m_pTitleLabel->setGeometry(34, 22, 200, 24);
}
