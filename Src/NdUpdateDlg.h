#pragma once

#include "NdDialog.h"

#include "INdDownloaderBackEnd.h"

class NdButton;
class NdLabel;

// Shows the update check's answer: the latest version, or the new version
// with its description and the buttons to update now or later (only now when
// the update is mandatory).
class NdUpdateDlg : public NdDialog
{
    Q_OBJECT
public:
    NdUpdateDlg(QWidget* parent, const NdSoftVersion_t& version);

    void TranslateText() override;

protected:
    void InitUi();
    void ConnectSignals();

private:
    void StartUpdate();

    NdLabel* LogoLabel = nullptr;
    NdLabel* NewVersionLabel = nullptr;
    NdLabel* VersionLabel = nullptr;
    NdLabel* UpdateTextLabel = nullptr;
    NdButton* NextTimeBtn = nullptr;
    NdButton* UpdateBtn = nullptr;
    NdButton* MustUpdateBtn = nullptr;
    NdButton* OkBtn = nullptr;
    bool HasNewVersion = false;
    bool MustUpdate = false;
    NdSoftVersion_t Version;
};
