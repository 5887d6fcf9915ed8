#include "NdWidget.h"

#include <QApplication>
#include <QFont>
#include <QHoverEvent>
#include <QStyle>

NdWidget::NdWidget(QWidget* parent, Qt::WindowFlags flags) : QWidget(parent, flags)
{
    setAttribute(Qt::WA_StyledBackground);
}

void NdWidget::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
}

void NdApplyApplicationFont()
{
    const QString designFamily = QStringLiteral("PingFang SC");
    QFont::insertSubstitutions(
        designFamily, {QStringLiteral("Noto Sans CJK SC"), QStringLiteral("WenQuanYi Micro Hei")});
    QFont font(designFamily, 10, -1, false);
    QApplication::setFont(font);
}

namespace {
// Set once on the main thread before the first window opens; read there only.
NdClickHandler g_clickHandler = nullptr;
} // namespace

void NdSetClickHandler(NdClickHandler handler)
{
    g_clickHandler = handler;
}

void NdHandleClick(const char* event)
{
    if (g_clickHandler)
        g_clickHandler(event);
}

void NdSetStyleProperty(QWidget* widget, const char* name, const QVariant& value)
{
    if (widget->property(name) == value)
        return;
    widget->setProperty(name, value);
    widget->style()->unpolish(widget);
    widget->style()->polish(widget);
    widget->update();
}

void NdClearHover(QWidget* widget)
{
    widget->setAttribute(Qt::WA_UnderMouse, false);
    QHoverEvent leave(QEvent::HoverLeave, QPointF(40, 40), QPointF(0, 0));
    QApplication::sendEvent(widget, &leave);
}
