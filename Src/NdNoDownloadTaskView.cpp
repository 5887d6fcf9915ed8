#include "NdNoDownloadTaskView.h"

#include "NdLabel.h"
#include "NdLanguageHelper.h"

#include "NdCore/NdDeploySettings.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

QHBoxLayout* NdMakeSupportLine(QWidget* parent, NdLabel*& supportLabel)
{
    NdLabel* logo = NdMakeLabel(parent, "NdNoDownloadTaskView_LogoLabel");
    logo->setFixedSize(14, 14);
    supportLabel = NdMakeLabel(parent, "NdNoDownloadTaskView_NdSupportLabel");
    supportLabel->setFixedHeight(20);

    QHBoxLayout* line = new QHBoxLayout();
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(5);
    line->addStretch();
    line->addWidget(logo);
    line->addWidget(supportLabel);
    line->addStretch();
    return line;
}

NdNoDownloadTaskView::NdNoDownloadTaskView(QWidget* parent) : NdWidget(parent)
{
    InitUi();
    TranslateText();
}

void NdNoDownloadTaskView::InitUi()
{
    NoTaskImageLabel = NdMakeLabel(this, "NdNoDownloadTaskView_NoTaskImageLabel");
    NoTaskImageLabel->setFixedSize(72, 72);
    NoTaskTextLabel = NdMakeLabel(this, "NdNoDownloadTaskView_NoTaskTextLabel");
    NoTaskTextLabel->setFixedHeight(24);
    NoTaskTextLabel->setOpenExternalLinks(true);
    QHBoxLayout* bottomLine = NdMakeSupportLine(this, SupportLabel);

    QVBoxLayout* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 16);
    layout->setSpacing(0);
    layout->addStretch();
    layout->addWidget(NoTaskImageLabel, 0, Qt::AlignCenter);
    layout->addSpacing(12);
    layout->addWidget(NoTaskTextLabel, 0, Qt::AlignCenter);
    layout->addStretch();
    layout->addLayout(bottomLine);
}

void NdNoDownloadTaskView::TranslateText()
{
    const QString link
        = QStringLiteral("<style>a{text-decoration:none;color:#1472FF}</style> <a href=\"%1\">%2</a>")
              .arg(NdDeploySettings::Get().ManagementUrl.toHtmlEscaped(), Str("NdDownloader.MgrTable").toHtmlEscaped());
    NoTaskTextLabel->setText(Str("NdDownloader.TaskEmpty").arg(link));
    SupportLabel->setText(Str("NdDownloader.TechnicalSupport"));
}
