#include "NdLabel.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>

NdLabel::NdLabel(QWidget* parent) : QLabel(parent) { }

void NdLabel::paintEvent(QPaintEvent* event)
{
    QLabel::paintEvent(event);
    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    painter.setClipPath(QPainterPath());
}

NdLabel* NdMakeLabel(QWidget* parent, const char* objectName)
{
    NdLabel* label = new NdLabel(parent);
    label->setObjectName(QLatin1String(objectName));
    return label;
}

QString NdElideRight(const QFont& font, const QString& text, int width)
{
    if (text.isEmpty())
        return QString();
    const QFontMetrics metrics(font);
    if (metrics.horizontalAdvance(text) >= width)
        return metrics.elidedText(text, Qt::ElideRight, width);
    return text;
}
