#pragma once

#include "NdTestHttpServer.h"

#include "NdCore/NdDownloadTaskParam.h"

#include <QDialog>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>
#include <QWidget>

#include <functional>
#include <vector>

// Test mode paths, the application font, the program's style sheet and the
// zh-CN texts, for every UI test; false when the sheet or the texts are missing.
bool NdUiTestInit();

// The zh-CN text of a key.
QString NdUiStr(const char* key);

// Saves the widget, with `over` drawn on it where it stands, as
// build/screenshots/<name>.png. False when the picture is one colour: blank.
bool NdUiShoot(QWidget* widget, const QString& name, QWidget* over = nullptr);

// Records what the windows ask the desktop to open: register its "open"
// slot with QDesktopServices::setUrlHandler.
class NdUrlRecorder : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> Opened;
public slots:
    void open(const QUrl& url) { Opened << url; }
};

// Keeps the reports the program sends on this machine: a TLS server on
// 127.0.0.1, trusted through the test CA, put in force as the reporting address.
class NdReportCatcher
{
public:
    bool Start();

private:
    NdTestHttpServer Server{NdTestHttpServer::Tls};
};

// Base of the UI tests: NdUiTestInit, the reports caught, a temporary folder,
// and what the windows ask the desktop to open (https and file URLs) recorded.
class NdUiTestCase : public QObject
{
    Q_OBJECT
protected slots:
    void initTestCase();

protected:
    NdReportCatcher Reports;
    QTemporaryDir Dir;
    NdUrlRecorder Urls;
};

// Answers every modal dialog of the class `className` that appears while it
// lives, from the dialog's own event loop, and counts them: the seam through
// which the tests answer modal questions.
class NdModalAnswerer : public QObject
{
public:
    NdModalAnswerer(const char* className, std::function<void(QDialog*)> answer);
    int Count() const { return Answered; }

private:
    void Poll();

    QByteArray ClassName;
    std::function<void(QDialog*)> Answer;
    QPointer<QObject> LastAnswered; // nulled when that dialog is gone
    int Answered = 0;
};

// The child of that type and object name; the index-th when several share it.
template <typename T = QWidget> T* NdChild(const QObject* parent, const char* objectName, int index = 0)
{
    return parent->findChildren<T*>(QLatin1String(objectName)).value(index);
}

// The names of a window's task rows, top to bottom.
QStringList NdRowNames(QWidget* window);

// Collects Qt's warnings while it lives: a thread destroyed while it runs, a
// signal sent to a deleted object. The offscreen platform's notices of what it
// cannot draw are none.
class NdWarningCatcher
{
public:
    NdWarningCatcher();
    ~NdWarningCatcher();
    QString Warnings() const; // one a line

private:
    QtMessageHandler Previous = nullptr;
};

// Clicks the child button of that object name, or the one with that text.
void NdClickChild(QWidget* parent, const char* objectName, const QString& text = QString());
