#pragma once

#include <QFont>
#include <QLabel>

// A label that follows the style sheet.
class NdLabel : public QLabel
{
    Q_OBJECT
public:
    explicit NdLabel(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

// A label that the style sheet finds by its object name.
NdLabel* NdMakeLabel(QWidget* parent, const char* objectName);

// The text cut at the right with an ellipsis when it is at least `width`
// pixels wide in `font`; an empty text stays empty.
QString NdElideRight(const QFont& font, const QString& text, int width);
