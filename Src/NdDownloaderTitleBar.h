#pragma once

#include "NdTitleBar.h"

#include "INdDownloaderBackEnd.h"

class NdButton;
class NdLabel;

// The main window's title bar: the round close and minimise buttons, the logo,
// the tutorials, about and check-update buttons, and a red dot beside the
// last one while a newer version is offered.
class NdDownloaderTitleBar : public NdTitleBar
{
    Q_OBJECT
public:
    NdDownloaderTitleBar(QWidget* target, const NdSoftVersion_t& version);

    void TranslateText() override;
    bool HasUpdateDot() const;

signals:
    void sigAbout();
    void sigCheckUpdate();
    // Acts as a click on the minimise button.
    void sigClickMinBtn(bool checked);

protected:
    void InitUi();
    void ConnectSignals();

private:
    void onTutorialsClicked();
    static QPixmap UpdateDotPixmap();

    NdButton* TutorialsBtn = nullptr;
    NdLabel* FirstLineLabel = nullptr;
    NdButton* AboutBtn = nullptr;
    NdLabel* SecondLineLabel = nullptr;
    NdButton* CheckUpdateBtn = nullptr;
    NdLabel* UpdateDotLabel = nullptr;
    NdSoftVersion_t Version;
};
