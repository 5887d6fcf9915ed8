#include "NdRadiusArrowBubble.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

NdRadiusArrowBubble::NdRadiusArrowBubble(QWidget* parent) : NdWidget(parent), RelationWidget(parent), RelationPt(0, 0)
{
    setWindowFlags(windowFlags() | Qt::Tool);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
}

void NdRadiusArrowBubble::SetArrowDirection(int direction)
{
    Direction = direction;
    update();
}

void NdRadiusArrowBubble::SetArrowPos(int pos)
{
    ArrowPos = pos;
    update();
}

void NdRadiusArrowBubble::SetArrowSize(int width, int height)
{
    ArrowWidth = width;
    ArrowHeight = height;
    update();
}

void NdRadiusArrowBubble::SetRadius(int radius)
{
    Radius = radius;
    update();
}

void NdRadiusArrowBubble::SetBgColor(const QColor& color)
{
    BgColor = color;
    update();
}

void NdRadiusArrowBubble::SetRelationPt(const QPoint& point)
{
    RelationPt = point;
}

void NdRadiusArrowBubble::SetMoveOutClose(bool moveOutClose)
{
    MoveOutClose = moveOutClose;
}

QPolygon NdRadiusArrowBubble::ArrowPolygon() const
{
    const int w = width();
    const int h = height();
    const int p = ArrowPos;
    const int halfWidth = ArrowWidth / 2;
    const int ah = ArrowHeight;
    QPolygon triangle;
    switch (Direction) {
    case ArrowUp:
        triangle << QPoint(p, 0) << QPoint(p - halfWidth, ah) << QPoint(p + halfWidth, ah);
        break;
    case ArrowDown:
        triangle << QPoint(p, h) << QPoint(p - halfWidth, h - ah) << QPoint(p + halfWidth, h - ah);
        break;
    case ArrowLeft:
        triangle << QPoint(0, p) << QPoint(ah, p - halfWidth) << QPoint(ah, p + halfWidth);
        break;
    case ArrowRight:
        triangle << QPoint(w, p) << QPoint(w - ah, p - halfWidth) << QPoint(w - ah, p + halfWidth);
        break;
    default:
        break;
    }
    return triangle;
}

void NdRadiusArrowBubble::paintEvent(QPaintEvent* event)
{
    Q_UNUSED(event)
    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QBrush(BgColor, Qt::SolidPattern));

    const int ah = ArrowHeight;
    QPainterPath path;
    path.addRoundedRect(QRectF(ah, ah, width() - 2 * ah, height() - 2 * ah), Radius, Radius);
    QPainterPath arrow;
    arrow.addPolygon(QPolygonF(ArrowPolygon()));
    arrow.closeSubpath();
    path = path.united(arrow);
    painter.fillPath(path, painter.brush());
}

void NdRadiusArrowBubble::showEvent(QShowEvent* event)
{
    NdWidget::showEvent(event);
    qApp->installEventFilter(this);
}

void NdRadiusArrowBubble::closeEvent(QCloseEvent* event)
{
    qApp->removeEventFilter(this);
    NdWidget::closeEvent(event);
}

// A bubble hidden without being closed (a tip whose label the mouse left) must
// no longer watch the application's presses.
void NdRadiusArrowBubble::hideEvent(QHideEvent* event)
{
    qApp->removeEventFilter(this);
    NdWidget::hideEvent(event);
}

bool NdRadiusArrowBubble::IsOutside(const QPoint& globalPos) const
{
    return !QRect(mapToGlobal(QPoint(0, 0)), size()).contains(globalPos);
}

bool NdRadiusArrowBubble::eventFilter(QObject* watched, QEvent* event)
{
    Q_UNUSED(watched)
    if (event->type() == QEvent::MouseButtonPress) {
        const QMouseEvent* mouse = static_cast<QMouseEvent*>(event);
        // Qt passes one press through the application filters once for the
        // window and once for every widget it propagates to: count it once.
        if (mouse->timestamp() == LastPressTime && mouse->globalPos() == LastPressPos)
            return false;
        LastPressTime = mouse->timestamp();
        LastPressPos = mouse->globalPos();
        emit sigClicked();
        if (IsOutside(mouse->globalPos()))
            close();
    } else if (event->type() == QEvent::MouseMove && MoveOutClose) {
        const QPoint globalPos = static_cast<QMouseEvent*>(event)->globalPos();
        const bool outsideRelation = !RelationWidget
            || !QRect(RelationWidget->mapToGlobal(QPoint(0, 0)), RelationWidget->size()).contains(globalPos);
        if (outsideRelation && IsOutside(globalPos))
            close();
    }
    return false;
}
