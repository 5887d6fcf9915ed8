#pragma once

#include "NdDialog.h"

class NdButton;
class NdLabel;
class NdWidget;

// The about box: logo, version, links to the website and the help centre.
class NdAboutDlg : public NdDialog
{
    Q_OBJECT
public:
    explicit NdAboutDlg(QWidget* parent = nullptr);

    void TranslateText() override;

protected:
    void InitUi();
    void ConnectSignals();

private:
    NdWidget* m_pBackground = nullptr;
    NdLabel* m_pLogoLabel = nullptr;
    NdLabel* m_pVersionLabel = nullptr;
    NdButton* m_pWebsiteBtn = nullptr;
    NdButton* m_pHelpCenterBtn = nullptr;
    NdLabel* m_pCopyRightLabel = nullptr;
};
