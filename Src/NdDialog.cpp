#include "NdDialog.h"

#include "NdButton.h"
#include "NdTitleBar.h"

#include <QBitmap>
#include <QPainter>
#include <QResizeEvent>

NdDialog::NdDialog(QWidget* parent, bool popStyle, bool hideCloseBtn)
    : QDialog(parent, Qt::WindowFlags()), m_bPopStyle(popStyle), m_bHideCloseBtn(hideCloseBtn)
{
    setAttribute(Qt::WA_StyledBackground);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);

    m_pTitleBar = new NdTitleBar(this, false, false, false);
    NdButton* closeBtn = m_pTitleBar->GetBtn(NdTitleBar::CloseBtn);
    if (m_bHideCloseBtn)
        closeBtn->hide();
    if (m_bPopStyle) {
        closeBtn->setFixedSize(16, 16);
        closeBtn->setCursor(Qt::PointingHandCursor);
        closeBtn->setObjectName(QStringLiteral("NdDownloaderPopDlg_CloseBtn"));
    } else {
        closeBtn->setFixedSize(28, 28);
        closeBtn->setObjectName(QStringLiteral("NdDownloaderTitleBar_closeBtn"));
    }
    closeBtn->setFocusPolicy(Qt::NoFocus);

    m_pTitleBar->GetBtn(NdTitleBar::NormalBtn)->hide();
    m_pTitleBar->GetBtn(NdTitleBar::NormalBtn)->setFocusPolicy(Qt::NoFocus);
    m_pTitleBar->GetBtn(NdTitleBar::MaximizeBtn)->hide();
    m_pTitleBar->SetLogoVisible(false);
    m_pTitleBar->SetLogoLabelObjName(QString());
    m_pTitleBar->setFixedHeight(48);

    SetRadiusEnabled(true, 4);
}

int NdDialog::DoModal()
{
    return exec();
}

void NdDialog::resize(int width, int height)
{
    QDialog::resize(width, height);
}

void NdDialog::SetRadiusEnabled(bool enabled, int radius)
{
    m_bRadiusMask = enabled;
    m_nRadius = radius;
    m_maskSize = QSize();
    if (!enabled)
        clearMask();
    update();
}

void NdDialog::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
}

void NdDialog::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    m_pTitleBar->setGeometry(0, 0, width(), m_pTitleBar->height());
}

void NdDialog::paintEvent(QPaintEvent* event)
{
    if (m_bRadiusMask)
        UpdateRoundedMask();
    QDialog::paintEvent(event);
}

// The mask only changes with the size, so it is rebuilt only then.
void NdDialog::UpdateRoundedMask()
{
    if (m_maskSize == size())
        return;
    m_maskSize = size();
    QBitmap bitmap(size());
    bitmap.fill(Qt::white);
    QPainter painter(&bitmap);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QBrush(Qt::black, Qt::SolidPattern));
    painter.drawRoundedRect(bitmap.rect(), m_nRadius, m_nRadius);
    painter.end();
    setMask(bitmap);
}
