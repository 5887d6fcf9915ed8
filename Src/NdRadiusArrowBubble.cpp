#include "NdRadiusArrowBubble.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

NdRadiusArrowBubble::NdRadiusArrowBubble(QWidget* parent)
    : NdWidget(parent), m_pRelationWidget(parent), m_relationPt(0, 0)
{
    setWindowFlags(windowFlags() | Qt::Tool);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
}

void NdRadiusArrowBubble::SetArrowDirection(int direction)
{
    m_nArrowDirection = direction;
    update();
}

void NdRadiusArrowBubble::SetArrowPos(int pos)
{
    m_nArrowPos = pos;
    update();
}

void NdRadiusArrowBubble::SetArrowSize(int width, int height)
{
    m_nArrowWidth = width;
    m_nArrowHeight = height;
    update();
}

void NdRadiusArrowBubble::SetRadius(int radius)
{
    m_nRadius = radius;
    update();
}

void NdRadiusArrowBubble::SetBgColor(const QColor& color)
{
    m_bgColor = color;
    update();
}

void NdRadiusArrowBubble::SetRelationPt(const QPoint& point)
{
    m_relationPt = point;
}

void NdRadiusArrowBubble::SetMoveOutClose(bool moveOutClose)
{
    m_bMoveOutClose = moveOutClose;
}

QPolygon NdRadiusArrowBubble::ArrowPolygon() const
{
    const int w = width();
    const int h = height();
    const int p = m_nArrowPos;
    const int halfWidth = m_nArrowWidth / 2;
    const int ah = m_nArrowHeight;
    QPolygon triangle;
    switch (m_nArrowDirection) {
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
    painter.setBrush(QBrush(m_bgColor, Qt::SolidPattern));

    const int ah = m_nArrowHeight;
    QPainterPath path;
    path.addRoundedRect(QRectF(ah, ah, width() - 2 * ah, height() - 2 * ah), m_nRadius, m_nRadius);
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
        if (mouse->timestamp() == m_lastPressTime && mouse->globalPos() == m_lastPressPos)
            return false;
        m_lastPressTime = mouse->timestamp();
        m_lastPressPos = mouse->globalPos();
        emit sigClicked();
        if (IsOutside(mouse->globalPos()))
            close();
    } else if (event->type() == QEvent::MouseMove && m_bMoveOutClose) {
        const QPoint globalPos = static_cast<QMouseEvent*>(event)->globalPos();
        const bool outsideRelation = !m_pRelationWidget
            || !QRect(m_pRelationWidget->mapToGlobal(QPoint(0, 0)), m_pRelationWidget->size()).contains(globalPos);
        if (outsideRelation && IsOutside(globalPos))
            close();
    }
    return false;
}
