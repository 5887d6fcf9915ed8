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
    NameLabel = MakeHeaderLabel(this, "NdStatusPromptBar_TextLabel");
    SizeLabel = MakeHeaderLabel(this, "NdStatusPromptBar_TextLabel_Macos");
    SizeTipLabel = new NdRadiusTipLabel(this);
    SizeTipLabel->setObjectName(QStringLiteral("NdStatusPromptBar_SizeImageLabel"));
    SizeTipLabel->setFixedSize(16, 16);
    SizeTipLabel->SetTipOffset(121);
    SizeTipLabel->SetTipArrowPos(121);
    StateLabel = MakeHeaderLabel(this, "NdStatusPromptBar_TextLabel");
    OperationLabel = MakeHeaderLabel(this, "NdStatusPromptBar_TextLabel");

    QHBoxLayout* layout = new QHBoxLayout(this);
    layout->setContentsMargins(13, 9, 10, 9);
    layout->setSpacing(0);
    layout->addWidget(NameLabel);
    layout->addSpacing(308);
    layout->addWidget(SizeLabel);
    layout->addWidget(SizeTipLabel);
    layout->addSpacing(188);
    layout->addWidget(StateLabel);
    layout->addSpacing(344);
    layout->addWidget(OperationLabel);
}

void NdStatusPromptBar::TranslateText()
{
    NameLabel->setText(Str("NdDownloader.VideoName"));
    SizeLabel->setText(Str("NdDownloader.Size"));
    SizeTipLabel->SetTip(Str("NdDownloader.SizeTip"));
    StateLabel->setText(Str("NdDownloader.Status"));
    OperationLabel->setText(Str("NdDownloader.Operator"));
}
