#pragma once

#include "NdWidget.h"

#include <QColor>
#include <QPoint>
#include <QPolygon>

// A rounded bubble with an arrow on one edge, used for hover tips. While shown
// it watches the whole application's mouse presses.
class NdRadiusArrowBubble : public NdWidget
{
    Q_OBJECT
public:
    enum ArrowDirection
    {
        ArrowUp = 0,
        ArrowDown = 1,
        ArrowLeft = 2,
        ArrowRight = 3,
    };

    explicit NdRadiusArrowBubble(QWidget* parent = nullptr);

    void SetArrowDirection(int direction);
    void SetArrowPos(int pos);
    void SetArrowSize(int width, int height);
    void SetRadius(int radius);
    void SetBgColor(const QColor& color);
    void SetRelationPt(const QPoint& point);
    void SetMoveOutClose(bool moveOutClose);
    int GetArrowHeight() const { return ArrowHeight; }
    int GetArrowDirection() const { return Direction; }

    // The arrow triangle for the current size, in widget coordinates.
    QPolygon ArrowPolygon() const;

signals:
    void sigClicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool IsOutside(const QPoint& globalPos) const;

    int ArrowPos = 20;
    int ArrowWidth = 15;
    int ArrowHeight = 10;
    int Direction = ArrowDown;
    int Radius = 4;
    bool MoveOutClose = false;
    QColor BgColor = Qt::white;
    QWidget* RelationWidget = nullptr;
    QPoint RelationPt;
    ulong LastPressTime = 0;
    QPoint LastPressPos;
};
