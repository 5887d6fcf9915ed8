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

    NdLabel* m_pTitleLabel = nullptr;
    NdLabel* m_pSplitLineLabel = nullptr;
    NdLabel* m_pFileImageLabel = nullptr;
    NdLabel* m_pFileNameLabel = nullptr;
    NdLabel* m_pDownloadingLabel = nullptr;
    QCheckBox* m_pContinueCheckBox = nullptr;
    QCheckBox* m_pQuitCheckBox = nullptr;
    NdButton* m_pCancelBtn = nullptr;
    NdButton* m_pOkBtn = nullptr;
};
