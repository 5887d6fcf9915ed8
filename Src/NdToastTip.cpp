#include "NdToastTip.h"

#include "NdLabel.h"

#include <QHBoxLayout>
#include <QVariant>

NdToastTip::NdToastTip(QWidget* parent) : NdWidget(parent)
{
    InitUi();
}

void NdToastTip::InitUi()
{
    ImageLabel = NdMakeLabel(this, "NdToastTip_ImageLabel");
    ImageLabel->setFixedSize(20, 20);
    TextLabel = NdMakeLabel(this, "NdToastTip_TextLabel");
    TextLabel->setFixedHeight(24);

    QHBoxLayout* layout = new QHBoxLayout(this);
    layout->setContentsMargins(16, 8, 16, 8);
    layout->setSpacing(8);
    layout->addWidget(ImageLabel);
    layout->addWidget(TextLabel);
}

void NdToastTip::SetInfo(const QString& type, const QString& text)
{
    TextLabel->setText(text);
    NdSetStyleProperty(ImageLabel, "state", type);
    // Owners give the toast a size made for a typical text (a row asks for
    // 200 pixels); a longer text widens the toast instead of being cut off.
    ensurePolished();
    setMinimumWidth(sizeHint().width());
}
