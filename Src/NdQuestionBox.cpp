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
    m_pWarningLabel = new NdLabel(this);
    m_pWarningLabel->setObjectName(QStringLiteral("NdQuestionBox_WarningLabel"));
    m_pWarningLabel->setFixedSize(22, 22);
    m_pTextLabel = new NdLabel(this);
    m_pTextLabel->setObjectName(QStringLiteral("NdQuestionBox_textLabel"));
    m_pTextLabel->setFixedHeight(24);
    m_pDeleteFileCheckBox = new QCheckBox(this);
    m_pDeleteFileCheckBox->setObjectName(QStringLiteral("NdQuestionBox_QCheckBox"));
    m_pDeleteFileCheckBox->setFixedHeight(16);
    m_pDeleteFileCheckBox->setChecked(false);
    m_pCancelBtn = new NdButton(this);
    m_pCancelBtn->setObjectName(QStringLiteral("NdQuestionBox_CancleBtn"));
    m_pCancelBtn->setFixedSize(74, 32);
    m_pOkBtn = new NdButton(this);
    m_pOkBtn->setObjectName(QStringLiteral("NdQuestionBox_OkBtn"));
    m_pOkBtn->setFixedSize(74, 32);

    QHBoxLayout* questionRow = new QHBoxLayout();
    questionRow->setSpacing(10);
    questionRow->addWidget(m_pWarningLabel);
    questionRow->addWidget(m_pTextLabel);
    questionRow->addStretch();

    QHBoxLayout* buttonRow = new QHBoxLayout();
    buttonRow->setSpacing(12);
    buttonRow->addWidget(m_pDeleteFileCheckBox, 0, Qt::AlignBottom);
    buttonRow->addStretch();
    buttonRow->addWidget(m_pCancelBtn);
    buttonRow->addWidget(m_pOkBtn);

    QVBoxLayout* layout = new QVBoxLayout(this);
    layout->setContentsMargins(34, 34, 34, 34);
    layout->setSpacing(0);
    layout->addLayout(questionRow);
    layout->addStretch();
    layout->addLayout(buttonRow);
}

void NdQuestionBox::ConnectSignals()
{
    SetKeyButtons({m_pOkBtn}, m_pCancelBtn);
    connect(m_pCancelBtn, &NdButton::clicked, this, [this]() {
        NdReportClick("btn_deletedlg_cancel");
        done(0);
    });
    connect(m_pOkBtn, &NdButton::clicked, this, [this]() {
        NdReportClick("btn_deletedlg_delete");
        done(1);
    });
}

void NdQuestionBox::TranslateText()
{
    m_pDeleteFileCheckBox->setText(Str("NdDownloader.DeleteLocalFile"));
    m_pCancelBtn->setText(Str("NdDownloader.Cancel"));
    m_pOkBtn->setText(Str("NdDownloader.Delete"));
}

void NdQuestionBox::SetText(const QString& text)
{
    m_pTextLabel->setText(text);
}

bool NdQuestionBox::IsDeleteLocalFile() const
{
    return m_pDeleteFileCheckBox->isChecked();
}
