#include "NdRadiusTip.h"

#include "NdLabel.h"

#include <QGraphicsDropShadowEffect>
#include <QHBoxLayout>

NdRadiusTip::NdRadiusTip(QWidget* parent) : NdRadiusArrowBubble(parent)
{
    InitUi();
    TranslateText();
}

void NdRadiusTip::InitUi()
{
    TextLabel = NdMakeLabel(this, "NdRadiusTip_TipLabel");
    TextLabel->setAlignment(Qt::AlignCenter);

    QHBoxLayout* layout = new QHBoxLayout(this);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(0);
    layout->addWidget(TextLabel, 0, Qt::AlignCenter);

    QGraphicsDropShadowEffect* shadow = new QGraphicsDropShadowEffect(this);
    shadow->setOffset(0, 0);
    shadow->setColor(QColor(QStringLiteral("#33333333")));
    shadow->setBlurRadius(12);
    setGraphicsEffect(shadow);
}

void NdRadiusTip::SetText(const QString& text)
{
    TextLabel->setText(text);
}

void NdRadiusTip::SetTextLabelObjName(const QString& name)
{
    TextLabel->setObjectName(name);
}

void NdRadiusTip::SetTextLabelWrapAndAlign(bool wrap, Qt::Alignment alignment)
{
    TextLabel->setWordWrap(wrap);
    TextLabel->setAlignment(alignment);
}
