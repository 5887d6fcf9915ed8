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
    NdWidget* Background = nullptr;
    NdLabel* LogoLabel = nullptr;
    NdLabel* VersionLabel = nullptr;
    NdButton* WebsiteBtn = nullptr;
    NdButton* HelpCenterBtn = nullptr;
    NdLabel* CopyRightLabel = nullptr;
};
