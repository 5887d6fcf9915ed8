#pragma once

#include <QEvent>
#include <QFileOpenEvent>
#include <QObject>
#include <QString>

#include <string>

// An open-URL request that carries the URL exactly as the desktop handed it
// over. QUrl lowers a host's case and re-encodes the rest, which would corrupt
// a token; the filter reads this text instead of the parsed URL.
class NdUrlOpenEvent : public QFileOpenEvent
{
public:
    explicit NdUrlOpenEvent(const QString& urlText);

    QString UrlText() const { return RawText; }

private:
    QString RawText;
};

// Catches the open-URL events on the application object, cuts the scheme off
// the URL and hands the rest on as a new-task request.
class NdOpenEventFilter : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // The text after the scheme's ":" with its leading "/" removed:
    // "nddownloader:///X" and "nddownloader://X" both give "X". A text
    // without ":" only loses its leading "/".
    static QString RequestText(const QString& urlText);

signals:
    void sigGetNewTask(std::string request);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};
