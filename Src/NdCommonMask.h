#pragma once

#include "NdWidget.h"

class QHBoxLayout;

// Dims the window behind a modal dialog; closes (and deletes itself) together
// with its central widget.
class NdCommonMask : public NdWidget
{
    Q_OBJECT
public:
    explicit NdCommonMask(QWidget* parent = nullptr);

    void SetCentralWidget(NdWidget* widget);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    NdWidget* CentralWidget = nullptr;
    QHBoxLayout* Layout = nullptr;
};
