#pragma once

#include "NdWidget.h"

class NdLabel;
class NdRadiusTipLabel;

// The column headers above the task list, with a tip on the size column.
class NdStatusPromptBar : public NdWidget
{
    Q_OBJECT
public:
    explicit NdStatusPromptBar(QWidget* parent = nullptr);

    void TranslateText() override;

protected:
    void InitUi();

private:
    NdLabel* NameLabel = nullptr;
    NdLabel* SizeLabel = nullptr;
    NdRadiusTipLabel* SizeTipLabel = nullptr;
    NdLabel* StateLabel = nullptr;
    NdLabel* OperationLabel = nullptr;
};
