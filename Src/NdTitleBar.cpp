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
    , m_pTarget(target)
    , m_bHasMinimize(hasMinimize)
    , m_bMaximizable(maximizable)
    , m_bMovable(movable)
    , m_dragOffset(0, 0)
{
    InitUi();
    ConnectSignals();
    TranslateText();
    if (m_pTarget)
        m_pTarget->installEventFilter(this);
}

void NdTitleBar::InitUi()
{
    m_pLogoLabel = new NdLabel(this);
    m_pLogoLabel->setFixedSize(24, 24);
    m_pProductNameLabel = new NdLabel(this);
    m_pProductNameLabel->setAlignment(Qt::AlignCenter);
    m_pProductNameLabel->setFixedHeight(20);

    static const char* const objectNames[]
        = {"NdTitleBar_MinimizeBtn", "NdTitleBar_NormalBtn", "NdTitleBar_MaximizeBtn", "NdTitleBar_CloseBtn"};
    for (int key = MinimizeBtn; key <= CloseBtn; ++key) {
        if (key == MinimizeBtn && !m_bHasMinimize)
            continue;
        NdButton* button = new NdButton(this);
        button->setFixedSize(45, 24);
        button->setObjectName(QLatin1String(objectNames[key]));
        if (key == NormalBtn || key == MaximizeBtn)
            button->setEnabled(m_bMaximizable);
        m_buttons.insert(key, button);
    }

    QHBoxLayout* layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 0, 16, 0);
    layout->setSpacing(0);
    layout->addWidget(m_pLogoLabel, 0, Qt::AlignCenter);
    layout->addSpacing(4);
    layout->addWidget(m_pProductNameLabel, 0, Qt::AlignCenter);
    layout->addStretch();
    for (NdButton* button : qAsConst(m_buttons))
        layout->addWidget(button);

    m_buttons.value(NormalBtn)->hide();
}

void NdTitleBar::ConnectSignals()
{
    if (NdButton* minimize = GetBtn(MinimizeBtn)) {
        connect(minimize, &NdButton::clicked, this, [this]() {
            NdHandleClick("btn_min");
            MinimizeFramelessTarget();
        });
    }
    connect(GetBtn(MaximizeBtn), &NdButton::clicked, this, [this]() { m_pTarget->showMaximized(); });
    connect(GetBtn(NormalBtn), &NdButton::clicked, this, [this]() { m_pTarget->showNormal(); });
    connect(GetBtn(CloseBtn), &NdButton::clicked, this, [this]() {
        NdHandleClick("btn_exit");
        m_pTarget->close();
    });
}

// A frameless window cannot be minimised by every window manager, so it gets a
// decorated window type for the moment of minimising and its frameless type back.
void NdTitleBar::MinimizeFramelessTarget()
{
    const Qt::WindowFlags own = windowFlags();
    m_pTarget->setWindowFlags((own & ~(Qt::WindowTitleHint | Qt::CustomizeWindowHint)) | Qt::CustomizeWindowHint);
    m_pTarget->showMinimized();
    m_pTarget->setWindowFlags(
        (own & ~(Qt::WindowType_Mask | Qt::WindowTitleHint | Qt::FramelessWindowHint)) | Qt::FramelessWindowHint);
    m_pTarget->show();
}

NdButton* NdTitleBar::GetBtn(int key) const
{
    return m_buttons.value(key, nullptr);
}

void NdTitleBar::SetLogoSize(const QSize& size)
{
    m_pLogoLabel->setFixedSize(size);
}

void NdTitleBar::SetLogoLabelObjName(const QString& name)
{
    m_pLogoLabel->setObjectName(name);
}

void NdTitleBar::SetProductNameLabelObjName(const QString& name)
{
    m_pProductNameLabel->setObjectName(name);
}

void NdTitleBar::SetProductName(const QString& name)
{
    m_pProductNameLabel->setText(name);
}

void NdTitleBar::SetLogoVisible(bool visible)
{
    m_pLogoLabel->setVisible(visible);
}

void NdTitleBar::SetProduceNameVisible(bool visible)
{
    m_pProductNameLabel->setVisible(visible);
}

void NdTitleBar::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        m_bPressed = true;
        m_dragOffset = event->globalPos() - m_pTarget->pos();
    }
    NdWidget::mousePressEvent(event);
}

void NdTitleBar::mouseMoveEvent(QMouseEvent* event)
{
    if (m_bPressed && m_bMovable)
        m_pTarget->move(event->globalPos() - m_dragOffset);
    NdWidget::mouseMoveEvent(event);
}

void NdTitleBar::mouseReleaseEvent(QMouseEvent* event)
{
    m_bPressed = false;
    NdWidget::mouseReleaseEvent(event);
}

void NdTitleBar::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (m_bMaximizable) {
        if (m_pTarget->isMaximized())
            m_pTarget->showNormal();
        else
            m_pTarget->showMaximized();
    }
    NdWidget::mouseDoubleClickEvent(event);
}

bool NdTitleBar::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_pTarget && event->type() == QEvent::WindowStateChange && m_bMaximizable)
        ShowMaximizeOrRestoreButton();
    return NdWidget::eventFilter(watched, event);
}

void NdTitleBar::ShowMaximizeOrRestoreButton()
{
    const bool maximized = m_pTarget->isMaximized();
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
