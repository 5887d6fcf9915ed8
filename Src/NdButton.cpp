#include "NdButton.h"

#include <QPainter>
#include <QPainterPath>

NdButton::NdButton(QWidget* parent) : QPushButton(parent)
{
    setAttribute(Qt::WA_StyledBackground);
    setAttribute(Qt::WA_LayoutUsesWidgetRect);
}

NdButton* NdMakeButton(QWidget* parent, const char* objectName, const QSize& size)
{
    NdButton* button = new NdButton(parent);
    button->setObjectName(QLatin1String(objectName));
    button->setFixedSize(size);
    button->setCursor(Qt::PointingHandCursor);
    button->setFocusPolicy(Qt::NoFocus);
    return button;
}

void NdButton::paintEvent(QPaintEvent* event)
{
    QPushButton::paintEvent(event);
    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    painter.setClipPath(QPainterPath());
}
