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
    CreateFileHeaderLabels(TitleLabel, SplitLineLabel, FileImageLabel);
    FileNameLabel = NdMakeLabel(this, "NdCloseDlg_FileNameLabel");
    FileNameLabel->setFixedWidth(236);
    DownloadingLabel = NdMakeLabel(this, "NdCloseDlg_DownloadingLabel");
    ContinueCheckBox = new QCheckBox(this);
    ContinueCheckBox->setChecked(true);
    QuitCheckBox = new QCheckBox(this);
    QuitCheckBox->setChecked(false);
    for (QCheckBox* choice : {ContinueCheckBox, QuitCheckBox}) {
        choice->setObjectName(QStringLiteral("NdCloseDlg_CheckBox"));
        choice->setFocusPolicy(Qt::NoFocus);
    }
    CancelBtn = NdMakeButton(this, "NdCloseDlg_CancleBtn", QSize(74, 32));
    OkBtn = NdMakeButton(this, "NdCloseDlg_OkBtn", QSize(74, 32));

    QVBoxLayout* fileColumn = new QVBoxLayout();
    fileColumn->setSpacing(4);
    fileColumn->addWidget(FileNameLabel, 0, Qt::AlignLeft);
    fileColumn->addWidget(DownloadingLabel, 0, Qt::AlignLeft);
    QHBoxLayout* fileRow = new QHBoxLayout();
    fileRow->setSpacing(8);
    fileRow->addWidget(FileImageLabel);
    fileRow->addLayout(fileColumn);
    fileRow->addStretch();

    QVBoxLayout* layout = CreateFileDialogLayout(SplitLineLabel, fileRow);
    layout->addWidget(ContinueCheckBox, 0, Qt::AlignLeft);
    layout->addSpacing(16);
    layout->addWidget(QuitCheckBox, 0, Qt::AlignLeft);
    AddButtonRow(layout, {CancelBtn, OkBtn});
}

void NdCloseDlg::ConnectSignals()
{
    SetKeyButtons({OkBtn}, CancelBtn);
    connect(ContinueCheckBox, &QCheckBox::clicked, this,
        [this]() { Choose(ContinueCheckBox, QuitCheckBox, "btn_closedlg_continue"); });
    connect(QuitCheckBox, &QCheckBox::clicked, this,
        [this]() { Choose(QuitCheckBox, ContinueCheckBox, "btn_closedlg_stop"); });
    connect(OkBtn, &NdButton::clicked, this, [this]() {
        NdReportClick("btn_closedlg_confirm");
        done(ContinueCheckBox->isChecked() ? ContinueDownloading : StopAndQuit);
    });
    connect(CancelBtn, &NdButton::clicked, this, [this]() {
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
    TitleLabel->setText(Str("NdDownloader.ShutdownTips"));
    FileNameLabel->setText(Str("NdDownloader.TestFileName"));
    DownloadingLabel->setText(Str("NdDownloader.Close.Downloading"));
    ContinueCheckBox->setText(Str("NdDownloader.ContinueAndTrayShow"));
    QuitCheckBox->setText(Str("NdDownloader.StopAndQuit"));
    CancelBtn->setText(Str("NdDownloader.Cancel"));
    OkBtn->setText(Str("NdDownloader.Sure"));
}

void NdCloseDlg::SetDownloadFileName(const QString& name)
{
    FileNameLabel->ensurePolished();
    FileNameLabel->setText(NdElideRight(FileNameLabel->font(), name, FileNameLabel->width()));
}

void NdCloseDlg::resizeEvent(QResizeEvent* event)
{
    NdDialog::resizeEvent(event);
    TitleLabel->setGeometry(34, 22, 200, 24);
}
