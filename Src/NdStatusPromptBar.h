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
    NdLabel* m_pNameLabel = nullptr;
    NdLabel* m_pSizeLabel = nullptr;
    NdRadiusTipLabel* m_pSizeTipLabel = nullptr;
    NdLabel* m_pStateLabel = nullptr;
    NdLabel* m_pOperationLabel = nullptr;
};
