#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// Carries open-URL requests from a second start of the program to the running
// one, over the local socket "handover" in the user's private folder (see
// NdInstanceLock). Both ends talk only to a peer of their own user.
class NdInstanceChannel : public QObject
{
    Q_OBJECT
public:
    explicit NdInstanceChannel(QObject* parent = nullptr);

    // Starts listening in privateFolder. Only the holder of the instance lock
    // listens, so a socket file already there belongs to an instance that did
    // not end cleanly and is removed first. False when the server cannot listen.
    bool Listen(const QString& privateFolder);
    QString ErrorString() const;
    // Hands a URL to the running instance and waits for its acknowledgement.
    // The running one may still be starting: connecting is retried until
    // timeoutMs has passed.
    static bool SendToRunning(const QString& privateFolder, const QString& urlText, int timeoutMs);

signals:
    void sigUrlReceived(const QString& urlText);

private:
    void onNewConnection();
    void onRequestData(QLocalSocket* socket);

    QLocalServer* Server = nullptr;
};
