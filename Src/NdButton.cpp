#include "NdButton.h"

#include <QPainter>
#include <QPainterPath>

NdButton::NdButton(QWidget* parent) : QPushButton(parent)
{
    setAttribute(Qt::WA_StyledBackground);
    setAttribute(Qt::WA_LayoutUsesWidgetRect);
}

void NdButton::paintEvent(QPaintEvent* event)
{
    QPushButton::paintEvent(event);
    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    painter.setClipPath(QPainterPath());
}
