#pragma once

#include "NdWidget.h"

class NdLabel;
class QHBoxLayout;

// The page shown while the list has no task: a picture, a line with a link to
// the platform's management page, and the support line.
class NdNoDownloadTaskView : public NdWidget
{
    Q_OBJECT
public:
    explicit NdNoDownloadTaskView(QWidget* parent = nullptr);

    void TranslateText() override;

protected:
    void InitUi();

private:
    NdLabel* NoTaskImageLabel = nullptr;
    NdLabel* NoTaskTextLabel = nullptr;
    NdLabel* SupportLabel = nullptr;
};

// The line at the bottom of the empty page and of the task list: the small
// logo and the technical-support text, centred.
QHBoxLayout* NdMakeSupportLine(QWidget* parent, NdLabel*& supportLabel);
