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
