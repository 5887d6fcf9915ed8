#include "NdQuestionBox.h"

#include "NdButton.h"
#include "NdLabel.h"
#include "NdLanguageHelper.h"
#include "NdReporter.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QVBoxLayout>

NdQuestionBox::NdQuestionBox(QWidget* parent, const QString& text, int width, int height)
    : NdDialog(parent, true, false)
{
    InitUi();
    ConnectSignals();
    TranslateText();
    SetText(text);
    resize(width, height);
}

void NdQuestionBox::InitUi()
{
    WarningLabel = NdMakeLabel(this, "NdQuestionBox_WarningLabel");
    WarningLabel->setFixedSize(22, 22);
    TextLabel = NdMakeLabel(this, "NdQuestionBox_textLabel");
    TextLabel->setFixedHeight(24);
    DeleteFileCheckBox = new QCheckBox(this);
    DeleteFileCheckBox->setObjectName(QStringLiteral("NdQuestionBox_QCheckBox"));
    DeleteFileCheckBox->setFixedHeight(16);
    DeleteFileCheckBox->setChecked(false);
    CancelBtn = new NdButton(this);
    CancelBtn->setObjectName(QStringLiteral("NdQuestionBox_CancleBtn"));
    CancelBtn->setFixedSize(74, 32);
    OkBtn = new NdButton(this);
    OkBtn->setObjectName(QStringLiteral("NdQuestionBox_OkBtn"));
    OkBtn->setFixedSize(74, 32);

    QHBoxLayout* questionRow = new QHBoxLayout();
    questionRow->setSpacing(10);
    questionRow->addWidget(WarningLabel);
    questionRow->addWidget(TextLabel);
    questionRow->addStretch();

    QHBoxLayout* buttonRow = new QHBoxLayout();
    buttonRow->setSpacing(12);
    buttonRow->addWidget(DeleteFileCheckBox, 0, Qt::AlignBottom);
    buttonRow->addStretch();
    buttonRow->addWidget(CancelBtn);
    buttonRow->addWidget(OkBtn);

    QVBoxLayout* layout = new QVBoxLayout(this);
    layout->setContentsMargins(34, 34, 34, 34);
    layout->setSpacing(0);
    layout->addLayout(questionRow);
    layout->addStretch();
    layout->addLayout(buttonRow);
}

void NdQuestionBox::ConnectSignals()
{
    SetKeyButtons({OkBtn}, CancelBtn);
    connect(CancelBtn, &NdButton::clicked, this, [this]() {
        NdReportClick("btn_deletedlg_cancel");
        done(0);
    });
    connect(OkBtn, &NdButton::clicked, this, [this]() {
        NdReportClick("btn_deletedlg_delete");
        done(1);
    });
}

void NdQuestionBox::TranslateText()
{
    DeleteFileCheckBox->setText(Str("NdDownloader.DeleteLocalFile"));
    CancelBtn->setText(Str("NdDownloader.Cancel"));
    OkBtn->setText(Str("NdDownloader.Delete"));
}

void NdQuestionBox::SetText(const QString& text)
{
    TextLabel->setText(text);
}

bool NdQuestionBox::IsDeleteLocalFile() const
{
    return DeleteFileCheckBox->isChecked();
}
