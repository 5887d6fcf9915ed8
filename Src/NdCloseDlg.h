#pragma once

#include "NdDialog.h"

class NdButton;
class NdLabel;
class QCheckBox;

// Asked when the main window closes while a task downloads.
// DoModal(): 0 cancelled, 1 stop and quit, 2 keep downloading.
class NdCloseDlg : public NdDialog
{
    Q_OBJECT
public:
    enum Result
    {
        Cancelled = 0,
        StopAndQuit = 1,
        ContinueDownloading = 2,
    };

    explicit NdCloseDlg(QWidget* parent);

    void SetDownloadFileName(const QString& name);
    void TranslateText() override;

protected:
    void InitUi();
    void ConnectSignals();
    void resizeEvent(QResizeEvent* event) override;

private:
    void Choose(QCheckBox* chosen, QCheckBox* other, const char* event);

    NdLabel* TitleLabel = nullptr;
    NdLabel* SplitLineLabel = nullptr;
    NdLabel* FileImageLabel = nullptr;
    NdLabel* FileNameLabel = nullptr;
    NdLabel* DownloadingLabel = nullptr;
    QCheckBox* ContinueCheckBox = nullptr;
    QCheckBox* QuitCheckBox = nullptr;
    NdButton* CancelBtn = nullptr;
    NdButton* OkBtn = nullptr;
};
