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
    m_pTextLabel = new NdLabel(this);
    m_pTextLabel->setObjectName(QStringLiteral("NdRadiusTip_TipLabel"));
    m_pTextLabel->setAlignment(Qt::AlignCenter);

    QHBoxLayout* layout = new QHBoxLayout(this);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(0);
    layout->addWidget(m_pTextLabel, 0, Qt::AlignCenter);

    QGraphicsDropShadowEffect* shadow = new QGraphicsDropShadowEffect(this);
    shadow->setOffset(0, 0);
    shadow->setColor(QColor(QStringLiteral("#33333333")));
    shadow->setBlurRadius(12);
    setGraphicsEffect(shadow);
}

void NdRadiusTip::SetText(const QString& text)
{
    m_pTextLabel->setText(text);
}

void NdRadiusTip::SetTextLabelObjName(const QString& name)
{
    m_pTextLabel->setObjectName(name);
}

void NdRadiusTip::SetTextLabelWrapAndAlign(bool wrap, Qt::Alignment alignment)
{
    m_pTextLabel->setWordWrap(wrap);
    m_pTextLabel->setAlignment(alignment);
}
