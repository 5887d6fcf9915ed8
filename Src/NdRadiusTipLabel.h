#pragma once

#include "NdLabel.h"

class NdRadiusTip;

// A label that shows a tip bubble below itself while the mouse is over it.
class NdRadiusTipLabel : public NdLabel
{
    Q_OBJECT
public:
    explicit NdRadiusTipLabel(QWidget* parent = nullptr);

    void SetTip(const QString& text);
    void SetTipOffset(int offset);
    void SetTipArrowPos(int pos);
    void SetTipSize(const QSize& size);
    NdRadiusTip* GetTip() const { return Tip; }

protected:
    void enterEvent(QEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    NdRadiusTip* Tip = nullptr;
    int TipOffset = 0;
    bool FixedTipSize = false;
};
