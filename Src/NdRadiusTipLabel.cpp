#include "NdRadiusTipLabel.h"

#include "NdRadiusTip.h"

NdRadiusTipLabel::NdRadiusTipLabel(QWidget* parent) : NdLabel(parent)
{
    Tip = new NdRadiusTip(this);
    Tip->SetArrowSize(12, 5);
    Tip->SetArrowDirection(NdRadiusArrowBubble::ArrowUp);
}

void NdRadiusTipLabel::SetTip(const QString& text)
{
    Tip->SetTextLabelWrapAndAlign(false, Qt::AlignLeft);
    Tip->SetText(text);
}

void NdRadiusTipLabel::SetTipOffset(int offset)
{
    TipOffset = offset;
}

void NdRadiusTipLabel::SetTipArrowPos(int pos)
{
    Tip->SetArrowPos(pos);
}

void NdRadiusTipLabel::SetTipSize(const QSize& size)
{
    Tip->setFixedSize(size);
    FixedTipSize = true;
}

void NdRadiusTipLabel::enterEvent(QEvent* event)
{
    NdLabel::enterEvent(event);
    // A tip not sized by its owner fits its current text, also after a
    // longer one.
    if (!FixedTipSize)
        Tip->adjustSize();
    const QPoint centre = mapToGlobal(QPoint(width() / 2, height() / 2));
    Tip->setGeometry(centre.x() - TipOffset, centre.y() + 12, Tip->width(), Tip->height());
    Tip->show();
}

void NdRadiusTipLabel::leaveEvent(QEvent* event)
{
    NdLabel::leaveEvent(event);
    Tip->hide();
}
