#include "NdInstanceChannel.h"

#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>

#include <unistd.h>

namespace {

// A request is one line of UTF-8; the running instance answers "ok\n".
const QByteArray kAcknowledgement("ok\n");
const int kMaxRequestBytes = 64 * 1024;
const int kReadLimitMs = 5000;
const int kRetryPauseMs = 100;

} // namespace

NdInstanceChannel::NdInstanceChannel(QObject* parent) : QObject(parent) { }

QString NdInstanceChannel::ServerName()
{
    return QStringLiteral("NdDownloader-%1").arg(::getuid());
}

bool NdInstanceChannel::Listen()
{
    m_pServer = new QLocalServer(this);
    m_pServer->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_pServer, &QLocalServer::newConnection, this, &NdInstanceChannel::onNewConnection);
    // Only the holder of the single-instance segment listens, so a socket file
    // that is already there belongs to an instance that did not end cleanly.
    QLocalServer::removeServer(ServerName());
    return m_pServer->listen(ServerName());
}

void NdInstanceChannel::onNewConnection()
{
    while (QLocalSocket* socket = m_pServer->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket]() {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > kMaxRequestBytes)
                    socket->abort();
                return;
            }
            const QByteArray line = socket->readLine(kMaxRequestBytes).trimmed();
            socket->write(kAcknowledgement);
            socket->flush();
            socket->disconnectFromServer();
            if (!line.isEmpty())
                emit sigUrlReceived(QString::fromUtf8(line));
        });
    }
}

bool NdInstanceChannel::SendToRunning(const QString& urlText, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    for (;;) {
        socket.connectToServer(ServerName());
        if (socket.waitForConnected(static_cast<int>(qMax<qint64>(1, deadline.remainingTime()))))
            break;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(kRetryPauseMs);
    }
    QByteArray request = urlText.toUtf8();
    request.replace('\n', ' ').append('\n');
    socket.write(request);
    if (!socket.waitForBytesWritten(kReadLimitMs))
        return false;
    QByteArray answer;
    while (!answer.endsWith('\n') && socket.waitForReadyRead(kReadLimitMs))
        answer += socket.readAll();
    return answer == kAcknowledgement;
}
