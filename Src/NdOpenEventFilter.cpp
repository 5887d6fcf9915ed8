#include "NdOpenEventFilter.h"

#include "NdCore/NdCommHelper.h"

#include <QUrl>

NdUrlOpenEvent::NdUrlOpenEvent(const QString& urlText) : QFileOpenEvent(QUrl(urlText)), RawText(urlText) { }

QString NdOpenEventFilter::RequestText(const QString& urlText)
{
    const int colon = urlText.indexOf(QLatin1Char(':'));
    int start = colon + 1;
    while (start < urlText.size() && urlText.at(start) == QLatin1Char('/'))
        ++start;
    return urlText.mid(start);
}

bool NdOpenEventFilter::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::FileOpen)
        return QObject::eventFilter(watched, event);
    const auto* raw = dynamic_cast<const NdUrlOpenEvent*>(event);
    const QString urlText = raw ? raw->UrlText() : static_cast<const QFileOpenEvent*>(event)->url().toString();
    if (urlText.isEmpty())
        return true;
    emit sigGetNewTask(NdCommHelper::ToUtf8(RequestText(urlText)));
    return true;
}
