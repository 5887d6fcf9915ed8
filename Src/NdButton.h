#pragma once

#include <QPushButton>

// A push button painted by the style sheet.
class NdButton : public QPushButton
{
    Q_OBJECT
public:
    explicit NdButton(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

// A clickable button of the kit: fixed size, pointing hand, never the focus
// (the dialogs and rows are driven by the mouse alone).
NdButton* NdMakeButton(QWidget* parent, const char* objectName, const QSize& size);
