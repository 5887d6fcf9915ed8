#pragma once

#include "NdRadiusArrowBubble.h"

class NdLabel;

// A bubble with one line of text and a soft shadow.
class NdRadiusTip : public NdRadiusArrowBubble
{
    Q_OBJECT
public:
    explicit NdRadiusTip(QWidget* parent = nullptr);

    void SetText(const QString& text);
    void SetTextLabelObjName(const QString& name);
    void SetTextLabelWrapAndAlign(bool wrap, Qt::Alignment alignment);

protected:
    void InitUi();

private:
    NdLabel* TextLabel = nullptr;
};
