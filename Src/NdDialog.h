#pragma once

#include <QDialog>

#include <functional>
#include <initializer_list>
#include <vector>

class NdLabel;
class NdTitleBar;
class QAbstractButton;
class QBoxLayout;
class QVBoxLayout;

// Frameless modal dialog with rounded corners and a close button in its own
// title bar. The pop style uses the small close button of the pop-up dialogs.
class NdDialog : public QDialog
{
    Q_OBJECT
public:
    NdDialog(QWidget* parent, bool popStyle, bool hideCloseBtn);

    int DoModal();
    // DoModal between showMask(true) and showMask(false): the window behind
    // dims while the dialog is open.
    int DoModalOverMask(const std::function<void(bool show)>& showMask);
    using QDialog::resize;
    void resize(int width, int height);
    void SetRadiusEnabled(bool enabled, int radius);
    NdTitleBar* GetTitleBar() const { return TitleBar; }

    virtual void TranslateText() { }

    // Return clicks the first of the accept buttons that is shown and enabled;
    // Escape clicks the cancel button, or the close cross where there is none.
    // With neither shown, as while an update must be taken, Escape does nothing.
    void SetKeyButtons(std::initializer_list<QAbstractButton*> acceptButtons, QAbstractButton* cancelButton);

protected:
    // The dialog keeps the size its owner gives it. When the content needs more
    // height than the given top and bottom margins leave, those margins give up
    // the difference instead of the content being squeezed.
    void KeepSizeByMargins(QBoxLayout* layout, int top, int bottom);

    // The frame shared by the dialogs about files (closing, choosing the
    // download folder): the split line and the file row on top; the caller
    // adds its own rows, then ends with AddButtonRow.
    QVBoxLayout* CreateFileDialogLayout(QWidget* splitLine, QLayout* fileRow);
    // The title, split line and file icon those dialogs share.
    void CreateFileHeaderLabels(NdLabel*& title, NdLabel*& splitLine, NdLabel*& fileImage);
    // A stretch, then the buttons at the bottom right.
    static void AddButtonRow(QVBoxLayout* layout, std::initializer_list<QWidget*> buttons);

    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QAbstractButton* ButtonForKey(int key) const;
    void UpdateRoundedMask();
    void FitMargins();

    NdTitleBar* TitleBar = nullptr;
    bool PopStyle = false;
    bool HideCloseBtn = false;
    bool RadiusMask = true;
    int Radius = 4;
    QSize MaskSize;
    QBoxLayout* SizeKeptLayout = nullptr;
    std::vector<QAbstractButton*> AcceptButtons;
    QAbstractButton* CancelButton = nullptr;
    int PreferredTop = 0;
    int PreferredBottom = 0;
};
