#pragma once

#include "NdWidget.h"

#include <QMap>
#include <QPoint>

class NdButton;
class NdLabel;

// Title bar of a frameless window: logo, product name and the minimise (0),
// restore (1), maximise (2) and close (3) buttons; dragging it moves the window.
class NdTitleBar : public NdWidget
{
    Q_OBJECT
public:
    enum ButtonKey
    {
        MinimizeBtn = 0,
        NormalBtn = 1,
        MaximizeBtn = 2,
        CloseBtn = 3,
    };

    NdTitleBar(QWidget* target, bool hasMinimize, bool maximizable, bool movable);

    NdButton* GetBtn(int key) const;
    void SetLogoSize(const QSize& size);
    void SetLogoLabelObjName(const QString& name);
    void SetProductNameLabelObjName(const QString& name);
    void SetProductName(const QString& name);
    void SetLogoVisible(bool visible);
    void SetProduceNameVisible(bool visible);

protected:
    void InitUi();
    void ConnectSignals();
    // For title bars that lay the labels out their own way.
    NdLabel* GetLogoLabel() const { return LogoLabel; }
    NdLabel* GetProductNameLabel() const { return ProductNameLabel; }

    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void MinimizeFramelessTarget();
    void ShowMaximizeOrRestoreButton();

    NdLabel* LogoLabel = nullptr;
    NdLabel* ProductNameLabel = nullptr;
    QWidget* Target = nullptr;
    bool Pressed = false;
    bool HasMinimize = false;
    bool Maximizable = false;
    bool Movable = false;
    QPoint DragOffset;
    QMap<int, NdButton*> Buttons;
};
