#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

// Carries open-URL requests from a second start of the program to the running
// one, over a local socket that only this user can reach.
class NdInstanceChannel : public QObject
{
    Q_OBJECT
public:
    explicit NdInstanceChannel(QObject* parent = nullptr);

    // Starts listening; a socket left behind by an instance that was killed is
    // removed first. False when the server cannot listen.
    bool Listen();
    // Hands a URL to the running instance and waits for its acknowledgement.
    // The running one may still be starting: connecting is retried until
    // timeoutMs has passed.
    static bool SendToRunning(const QString& urlText, int timeoutMs);
    // The server's name: per user, in the temporary folder.
    static QString ServerName();

signals:
    void sigUrlReceived(const QString& urlText);

private:
    void onNewConnection();

    QLocalServer* m_pServer = nullptr;
};
