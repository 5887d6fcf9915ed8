#include "NdRadiusTipLabel.h"

#include "NdRadiusTip.h"

NdRadiusTipLabel::NdRadiusTipLabel(QWidget* parent) : NdLabel(parent)
{
    m_pTip = new NdRadiusTip(this);
    m_pTip->SetArrowSize(12, 5);
    m_pTip->SetArrowDirection(NdRadiusArrowBubble::ArrowUp);
}

void NdRadiusTipLabel::SetTip(const QString& text)
{
    m_pTip->SetTextLabelWrapAndAlign(false, Qt::AlignLeft);
    m_pTip->SetText(text);
}

void NdRadiusTipLabel::SetTipOffset(int offset)
{
    m_nTipOffset = offset;
}

void NdRadiusTipLabel::SetTipArrowPos(int pos)
{
    m_pTip->SetArrowPos(pos);
}

void NdRadiusTipLabel::SetTipSize(const QSize& size)
{
    m_pTip->setFixedSize(size);
    m_bFixedTipSize = true;
}

void NdRadiusTipLabel::enterEvent(QEvent* event)
{
    NdLabel::enterEvent(event);
    // A tip not sized by its owner fits its current text, also after a
    // longer one.
    if (!m_bFixedTipSize)
        m_pTip->adjustSize();
    const QPoint centre = mapToGlobal(QPoint(width() / 2, height() / 2));
    m_pTip->setGeometry(centre.x() - m_nTipOffset, centre.y() + 12, m_pTip->width(), m_pTip->height());
    m_pTip->show();
}

void NdRadiusTipLabel::leaveEvent(QEvent* event)
{
    NdLabel::leaveEvent(event);
    m_pTip->hide();
}
