#include "NdCommonMask.h"

#include <QHBoxLayout>
#include <QPainter>

NdCommonMask::NdCommonMask(QWidget* parent) : NdWidget(parent)
{
    if (!parent) {
        setWindowFlags(windowFlags() | Qt::SubWindow | Qt::FramelessWindowHint);
        setAttribute(Qt::WA_TranslucentBackground);
    }
    setAttribute(Qt::WA_DeleteOnClose);
    Layout = new QHBoxLayout(this);
    Layout->setContentsMargins(0, 0, 0, 0);
    Layout->setSpacing(0);
}

void NdCommonMask::SetCentralWidget(NdWidget* widget)
{
    CentralWidget = widget;
    // The widget keeps its hints but not a window type: made without a parent
    // it would otherwise stay a window of its own instead of sitting in the mask.
    widget->setParent(this, widget->windowFlags() & ~Qt::WindowType_Mask);
    widget->show();
    Layout->addWidget(widget);
    connect(widget, &NdWidget::sigAboutToClose, this, &NdCommonMask::close);
}

void NdCommonMask::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::transparent);
    painter.setBrush(QBrush(QColor(0, 0, 0, 160), Qt::SolidPattern));
    painter.drawRoundedRect(rect(), 0, 0);
    painter.end();
    NdWidget::paintEvent(event);
}
