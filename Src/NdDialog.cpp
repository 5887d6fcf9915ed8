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
    : QDialog(parent, Qt::WindowFlags()), PopStyle(popStyle), HideCloseBtn(hideCloseBtn)
{
    setAttribute(Qt::WA_StyledBackground);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);

    TitleBar = new NdTitleBar(this, false, false, false);
    NdButton* closeBtn = TitleBar->GetBtn(NdTitleBar::CloseBtn);
    if (HideCloseBtn)
        closeBtn->hide();
    if (PopStyle) {
        closeBtn->setFixedSize(16, 16);
        closeBtn->setCursor(Qt::PointingHandCursor);
        closeBtn->setObjectName(QStringLiteral("NdDownloaderPopDlg_CloseBtn"));
    } else {
        closeBtn->setFixedSize(28, 28);
        closeBtn->setObjectName(QStringLiteral("NdDownloaderTitleBar_closeBtn"));
    }
    closeBtn->setFocusPolicy(Qt::NoFocus);

    TitleBar->GetBtn(NdTitleBar::NormalBtn)->hide();
    TitleBar->GetBtn(NdTitleBar::NormalBtn)->setFocusPolicy(Qt::NoFocus);
    TitleBar->GetBtn(NdTitleBar::MaximizeBtn)->hide();
    TitleBar->SetLogoVisible(false);
    TitleBar->SetLogoLabelObjName(QString());
    TitleBar->setFixedHeight(48);

    SetRadiusEnabled(true, 4);
    // The buttons take no focus, so the dialog itself takes the keys.
    setFocusPolicy(Qt::StrongFocus);
}

void NdDialog::SetKeyButtons(std::initializer_list<QAbstractButton*> acceptButtons, QAbstractButton* cancelButton)
{
    AcceptButtons.assign(acceptButtons.begin(), acceptButtons.end());
    CancelButton = cancelButton;
}

QAbstractButton* NdDialog::ButtonForKey(int key) const
{
    std::vector<QAbstractButton*> candidates;
    if (key == Qt::Key_Return || key == Qt::Key_Enter)
        candidates = AcceptButtons;
    else if (key == Qt::Key_Escape)
        candidates = {CancelButton, TitleBar->GetBtn(NdTitleBar::CloseBtn)};
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
    RadiusMask = enabled;
    Radius = radius;
    MaskSize = QSize();
    if (!enabled)
        clearMask();
    update();
}

void NdDialog::KeepSizeByMargins(QBoxLayout* layout, int top, int bottom)
{
    SizeKeptLayout = layout;
    PreferredTop = top;
    PreferredBottom = bottom;
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
    if (!SizeKeptLayout)
        return;
    QMargins margins = SizeKeptLayout->contentsMargins();
    margins.setTop(PreferredTop);
    margins.setBottom(PreferredBottom);
    SizeKeptLayout->setContentsMargins(margins);
    const int excess = SizeKeptLayout->minimumSize().height() - height();
    if (excess <= 0)
        return;
    margins.setTop(qMax(0, PreferredTop - (excess + 1) / 2));
    margins.setBottom(qMax(0, PreferredBottom - excess / 2));
    SizeKeptLayout->setContentsMargins(margins);
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
    TitleBar->setGeometry(0, 0, width(), TitleBar->height());
    FitMargins();
}

void NdDialog::paintEvent(QPaintEvent* event)
{
    if (RadiusMask)
        UpdateRoundedMask();
    QDialog::paintEvent(event);
}

// The mask only changes with the size, so it is rebuilt only then.
void NdDialog::UpdateRoundedMask()
{
    if (MaskSize == size())
        return;
    MaskSize = size();
    QBitmap bitmap(size());
    bitmap.fill(Qt::white);
    QPainter painter(&bitmap);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QBrush(Qt::black, Qt::SolidPattern));
    painter.drawRoundedRect(bitmap.rect(), Radius, Radius);
    painter.end();
    setMask(bitmap);
}
