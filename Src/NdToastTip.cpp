#include "NdToastTip.h"

#include "NdLabel.h"

#include <QHBoxLayout>
#include <QVariant>

NdToastTip::NdToastTip(QWidget* parent) : NdWidget(parent)
{
    InitUi();
}

void NdToastTip::InitUi()
{
    m_pImageLabel = new NdLabel(this);
    m_pImageLabel->setObjectName(QStringLiteral("NdToastTip_ImageLabel"));
    m_pImageLabel->setFixedSize(20, 20);
    m_pTextLabel = new NdLabel(this);
    m_pTextLabel->setObjectName(QStringLiteral("NdToastTip_TextLabel"));
    m_pTextLabel->setFixedHeight(24);

    QHBoxLayout* layout = new QHBoxLayout(this);
    layout->setContentsMargins(16, 8, 16, 8);
    layout->setSpacing(8);
    layout->addWidget(m_pImageLabel);
    layout->addWidget(m_pTextLabel);
}

void NdToastTip::SetInfo(const QString& type, const QString& text)
{
    m_pTextLabel->setText(text);
    m_pImageLabel->setProperty("state", type);
    NdRepolish(m_pImageLabel);
    // Owners give the toast a size made for a typical text (a row asks for
    // 200 pixels); a longer text widens the toast instead of being cut off.
    ensurePolished();
    setMinimumWidth(sizeHint().width());
}
