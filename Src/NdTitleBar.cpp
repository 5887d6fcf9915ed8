#include "NdTitleBar.h"

#include "NdButton.h"
#include "NdLabel.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

NdTitleBar::NdTitleBar(QWidget* target, bool hasMinimize, bool maximizable, bool movable)
    : NdWidget(target)
    , Target(target)
    , HasMinimize(hasMinimize)
    , Maximizable(maximizable)
    , Movable(movable)
    , DragOffset(0, 0)
{
    InitUi();
    ConnectSignals();
    TranslateText();
    if (Target)
        Target->installEventFilter(this);
}

void NdTitleBar::InitUi()
{
    LogoLabel = new NdLabel(this);
    LogoLabel->setFixedSize(24, 24);
    ProductNameLabel = new NdLabel(this);
    ProductNameLabel->setAlignment(Qt::AlignCenter);
    ProductNameLabel->setFixedHeight(20);

    static const char* const objectNames[]
        = {"NdTitleBar_MinimizeBtn", "NdTitleBar_NormalBtn", "NdTitleBar_MaximizeBtn", "NdTitleBar_CloseBtn"};
    for (int key = MinimizeBtn; key <= CloseBtn; ++key) {
        if (key == MinimizeBtn && !HasMinimize)
            continue;
        NdButton* button = new NdButton(this);
        button->setFixedSize(45, 24);
        button->setObjectName(QLatin1String(objectNames[key]));
        if (key == NormalBtn || key == MaximizeBtn)
            button->setEnabled(Maximizable);
        Buttons.insert(key, button);
    }

    QHBoxLayout* layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 0, 16, 0);
    layout->setSpacing(0);
    layout->addWidget(LogoLabel, 0, Qt::AlignCenter);
    layout->addSpacing(4);
    layout->addWidget(ProductNameLabel, 0, Qt::AlignCenter);
    layout->addStretch();
    for (NdButton* button : qAsConst(Buttons))
        layout->addWidget(button);

    Buttons.value(NormalBtn)->hide();
}

void NdTitleBar::ConnectSignals()
{
    if (NdButton* minimize = GetBtn(MinimizeBtn)) {
        connect(minimize, &NdButton::clicked, this, [this]() {
            NdHandleClick("btn_min");
            MinimizeFramelessTarget();
        });
    }
    connect(GetBtn(MaximizeBtn), &NdButton::clicked, this, [this]() { Target->showMaximized(); });
    connect(GetBtn(NormalBtn), &NdButton::clicked, this, [this]() { Target->showNormal(); });
    connect(GetBtn(CloseBtn), &NdButton::clicked, this, [this]() {
        NdHandleClick("btn_exit");
        Target->close();
    });
}

// A frameless window cannot be minimised by every window manager, so it gets a
// decorated window type for the moment of minimising and its frameless type back.
void NdTitleBar::MinimizeFramelessTarget()
{
    const Qt::WindowFlags own = windowFlags();
    Target->setWindowFlags((own & ~(Qt::WindowTitleHint | Qt::CustomizeWindowHint)) | Qt::CustomizeWindowHint);
    Target->showMinimized();
    Target->setWindowFlags(
        (own & ~(Qt::WindowType_Mask | Qt::WindowTitleHint | Qt::FramelessWindowHint)) | Qt::FramelessWindowHint);
    Target->show();
}

NdButton* NdTitleBar::GetBtn(int key) const
{
    return Buttons.value(key, nullptr);
}

void NdTitleBar::SetLogoSize(const QSize& size)
{
    LogoLabel->setFixedSize(size);
}

void NdTitleBar::SetLogoLabelObjName(const QString& name)
{
    LogoLabel->setObjectName(name);
}

void NdTitleBar::SetProductNameLabelObjName(const QString& name)
{
    ProductNameLabel->setObjectName(name);
}

void NdTitleBar::SetProductName(const QString& name)
{
    ProductNameLabel->setText(name);
}

void NdTitleBar::SetLogoVisible(bool visible)
{
    LogoLabel->setVisible(visible);
}

void NdTitleBar::SetProduceNameVisible(bool visible)
{
    ProductNameLabel->setVisible(visible);
}

void NdTitleBar::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        Pressed = true;
        DragOffset = event->globalPos() - Target->pos();
    }
    NdWidget::mousePressEvent(event);
}

void NdTitleBar::mouseMoveEvent(QMouseEvent* event)
{
    if (Pressed && Movable)
        Target->move(event->globalPos() - DragOffset);
    NdWidget::mouseMoveEvent(event);
}

void NdTitleBar::mouseReleaseEvent(QMouseEvent* event)
{
    Pressed = false;
    NdWidget::mouseReleaseEvent(event);
}

void NdTitleBar::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (Maximizable) {
        if (Target->isMaximized())
            Target->showNormal();
        else
            Target->showMaximized();
    }
    NdWidget::mouseDoubleClickEvent(event);
}

bool NdTitleBar::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Target && event->type() == QEvent::WindowStateChange && Maximizable)
        ShowMaximizeOrRestoreButton();
    return NdWidget::eventFilter(watched, event);
}

void NdTitleBar::ShowMaximizeOrRestoreButton()
{
    const bool maximized = Target->isMaximized();
    GetBtn(NormalBtn)->setVisible(maximized);
    GetBtn(MaximizeBtn)->setVisible(!maximized);
}

void NdTitleBar::paintEvent(QPaintEvent* event)
{
    NdWidget::paintEvent(event);
    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    painter.setClipPath(QPainterPath());
}
