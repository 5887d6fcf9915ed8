#include "NdDialog.h"

#include "NdButton.h"
#include "NdLabel.h"
#include "NdTitleBar.h"

#include <QBitmap>
#include <QBoxLayout>
#include <QKeyEvent>
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
    // The buttons take no focus, so the dialog itself takes the keys.
    setFocusPolicy(Qt::StrongFocus);
}

void NdDialog::SetKeyButtons(std::initializer_list<QAbstractButton*> acceptButtons, QAbstractButton* cancelButton)
{
    m_acceptButtons.assign(acceptButtons.begin(), acceptButtons.end());
    m_pCancelButton = cancelButton;
}

QAbstractButton* NdDialog::ButtonForKey(int key) const
{
    std::vector<QAbstractButton*> candidates;
    if (key == Qt::Key_Return || key == Qt::Key_Enter)
        candidates = m_acceptButtons;
    else if (key == Qt::Key_Escape)
        candidates = {m_pCancelButton, m_pTitleBar->GetBtn(NdTitleBar::CloseBtn)};
    for (QAbstractButton* button : candidates) {
        if (button && button->isVisibleTo(this) && button->isEnabled())
            return button;
    }
    return nullptr;
}

// Handled here rather than by QDialog, which closes on Escape even when the
// dialog shows no way to close it.
void NdDialog::keyPressEvent(QKeyEvent* event)
{
    const int key = event->key();
    if (key != Qt::Key_Return && key != Qt::Key_Enter && key != Qt::Key_Escape) {
        QDialog::keyPressEvent(event);
        return;
    }
    event->accept();
    if (QAbstractButton* button = ButtonForKey(key))
        button->click();
}

int NdDialog::DoModal()
{
    return exec();
}

int NdDialog::DoModalOverMask(const std::function<void(bool show)>& showMask)
{
    showMask(true);
    const int answer = DoModal();
    showMask(false);
    return answer;
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

void NdDialog::KeepSizeByMargins(QBoxLayout* layout, int top, int bottom)
{
    m_pSizeKeptLayout = layout;
    m_nPreferredTop = top;
    m_nPreferredBottom = bottom;
    layout->setSizeConstraint(QLayout::SetNoConstraint);
    FitMargins();
}

void NdDialog::CreateFileHeaderLabels(NdLabel*& title, NdLabel*& splitLine, NdLabel*& fileImage)
{
    title = NdMakeLabel(this, "NdDialog_TitleLabel");
    title->setGeometry(34, 22, 200, 24);
    splitLine = NdMakeLabel(this, "NdDownloader_SplitLineLabel");
    splitLine->setFixedHeight(1);
    fileImage = NdMakeLabel(this, "NdCloseDlg_FileIamgeLabel");
    fileImage->setFixedSize(40, 40);
}

QVBoxLayout* NdDialog::CreateFileDialogLayout(QWidget* splitLine, QLayout* fileRow)
{
    QVBoxLayout* layout = new QVBoxLayout(this);
    layout->setContentsMargins(30, 58, 34, 26);
    layout->setSpacing(0);
    layout->addWidget(splitLine);
    layout->addSpacing(24);
    layout->addLayout(fileRow);
    layout->addSpacing(24);
    return layout;
}

void NdDialog::AddButtonRow(QVBoxLayout* layout, std::initializer_list<QWidget*> buttons)
{
    QHBoxLayout* buttonRow = new QHBoxLayout();
    buttonRow->setSpacing(12);
    buttonRow->addStretch();
    for (QWidget* button : buttons)
        buttonRow->addWidget(button);
    layout->addStretch();
    layout->addLayout(buttonRow);
}

void NdDialog::FitMargins()
{
    if (!m_pSizeKeptLayout)
        return;
    QMargins margins = m_pSizeKeptLayout->contentsMargins();
    margins.setTop(m_nPreferredTop);
    margins.setBottom(m_nPreferredBottom);
    m_pSizeKeptLayout->setContentsMargins(margins);
    const int excess = m_pSizeKeptLayout->minimumSize().height() - height();
    if (excess <= 0)
        return;
    margins.setTop(qMax(0, m_nPreferredTop - (excess + 1) / 2));
    margins.setBottom(qMax(0, m_nPreferredBottom - excess / 2));
    m_pSizeKeptLayout->setContentsMargins(margins);
}

void NdDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!focusWidget())
        setFocus();
    // The style sheet has set the fonts by now.
    FitMargins();
}

void NdDialog::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
}

void NdDialog::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    m_pTitleBar->setGeometry(0, 0, width(), m_pTitleBar->height());
    FitMargins();
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
