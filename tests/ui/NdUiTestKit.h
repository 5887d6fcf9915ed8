#pragma once

#include "NdTestHttpServer.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

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
