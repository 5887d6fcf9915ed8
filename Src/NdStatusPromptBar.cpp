#include "NdStatusPromptBar.h"

#include "NdLabel.h"
#include "NdLanguageHelper.h"
#include "NdRadiusTipLabel.h"

#include <QHBoxLayout>

namespace {

NdLabel* MakeHeaderLabel(QWidget* parent, const char* objectName)
{
    NdLabel* label = NdMakeLabel(parent, objectName);
    label->setFixedHeight(24);
    return label;
}

} // namespace

NdStatusPromptBar::NdStatusPromptBar(QWidget* parent) : NdWidget(parent)
{
    InitUi();
    TranslateText();
}

void NdStatusPromptBar::InitUi()
{
    m_pNameLabel = MakeHeaderLabel(this, "NdStatusPromptBar_TextLabel");
    m_pSizeLabel = MakeHeaderLabel(this, "NdStatusPromptBar_TextLabel_Macos");
    m_pSizeTipLabel = new NdRadiusTipLabel(this);
    m_pSizeTipLabel->setObjectName(QStringLiteral("NdStatusPromptBar_SizeImageLabel"));
    m_pSizeTipLabel->setFixedSize(16, 16);
    m_pSizeTipLabel->SetTipOffset(121);
    m_pSizeTipLabel->SetTipArrowPos(121);
    m_pStateLabel = MakeHeaderLabel(this, "NdStatusPromptBar_TextLabel");
    m_pOperationLabel = MakeHeaderLabel(this, "NdStatusPromptBar_TextLabel");

    QHBoxLayout* layout = new QHBoxLayout(this);
    layout->setContentsMargins(13, 9, 10, 9);
    layout->setSpacing(0);
    layout->addWidget(m_pNameLabel);
    layout->addSpacing(308);
    layout->addWidget(m_pSizeLabel);
    layout->addWidget(m_pSizeTipLabel);
    layout->addSpacing(188);
    layout->addWidget(m_pStateLabel);
    layout->addSpacing(344);
    layout->addWidget(m_pOperationLabel);
}

void NdStatusPromptBar::TranslateText()
{
    m_pNameLabel->setText(Str("NdDownloader.VideoName"));
    m_pSizeLabel->setText(Str("NdDownloader.Size"));
    m_pSizeTipLabel->SetTip(Str("NdDownloader.SizeTip"));
    m_pStateLabel->setText(Str("NdDownloader.Status"));
    m_pOperationLabel->setText(Str("NdDownloader.Operator"));
}
