#pragma once

#include "NdTestHttpServer.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QWidget>

#include <functional>

class QDialog;

// Test mode paths, the zh-CN texts and the application font, for every UI test.
void NdUiTestInit();

// Records what the windows ask the desktop to open: register its "open"
// slot with QDesktopServices::setUrlHandler.
class NdUrlRecorder : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened << url; }
};

// Catches the reports the program sends: a TLS server on 127.0.0.1, trusted
// through the test CA and put in force as the reporting address.
class NdReportCatcher
{
public:
    bool Start();
    // "api_params" of every report received so far, in arrival order.
    QStringList Params() const;
    // How many received reports have exactly these "api_params".
    int Count(const QString& params) const;
    // How many received reports have "api_params" ending in this text.
    int CountEndingWith(const QString& end) const;

private:
    NdTestHttpServer m_server{NdTestHttpServer::Tls};
};

// Answers every modal dialog of the class `className` that appears while it
// lives, from the dialog's own event loop, and counts them: the seam through
// which the tests answer modal questions.
class NdModalAnswerer : public QObject
{
public:
    NdModalAnswerer(const char* className, std::function<void(QDialog*)> answer);
    int Count() const { return m_count; }

private:
    void Poll();

    QByteArray m_className;
    std::function<void(QDialog*)> m_answer;
    QPointer<QObject> m_lastAnswered; // nulled when that dialog is gone
    int m_count = 0;
};

// Clicks the child button of that object name, or the one with that text.
void NdClickChild(QWidget* parent, const char* objectName, const QString& text = QString());
