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

    NdLabel* m_pLogoLabel = nullptr;
    NdLabel* m_pNewVersionLabel = nullptr;
    NdLabel* m_pVersionLabel = nullptr;
    NdLabel* m_pUpdateTextLabel = nullptr;
    NdButton* m_pNextTimeBtn = nullptr;
    NdButton* m_pUpdateBtn = nullptr;
    NdButton* m_pMustUpdateBtn = nullptr;
    NdButton* m_pOkBtn = nullptr;
    bool m_bHasNewVersion = false;
    bool m_bMustUpdate = false;
    NdSoftVersion_t m_version;
};
