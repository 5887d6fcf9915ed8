#pragma once

#include "NdDialog.h"

class NdButton;
class NdLabel;
class QCheckBox;

// Confirms a deletion and asks whether the downloaded file goes too.
// DoModal() gives 1 for delete, 0 for cancel or close.
class NdQuestionBox : public NdDialog
{
    Q_OBJECT
public:
    NdQuestionBox(QWidget* parent, const QString& text, int width, int height);

    void SetText(const QString& text);
    bool IsDeleteLocalFile() const;
    void TranslateText() override;

protected:
    void InitUi();
    void ConnectSignals();

private:
    NdLabel* WarningLabel = nullptr;
    NdLabel* TextLabel = nullptr;
    QCheckBox* DeleteFileCheckBox = nullptr;
    NdButton* CancelBtn = nullptr;
    NdButton* OkBtn = nullptr;
};
