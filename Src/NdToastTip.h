#pragma once

#include "NdWidget.h"

class NdLabel;

// The short message strip near the top of the main window; its icon follows
// the type ("tip", "success", "error") through the style sheet.
class NdToastTip : public NdWidget
{
    Q_OBJECT
public:
    explicit NdToastTip(QWidget* parent = nullptr);

    void SetInfo(const QString& type, const QString& text);

protected:
    void InitUi();

private:
    NdLabel* ImageLabel = nullptr;
    NdLabel* TextLabel = nullptr;
};
