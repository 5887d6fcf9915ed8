#include "NdInstanceChannel.h"

#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>

namespace {

// A request is one line of UTF-8; the running instance answers "ok\n".
const QByteArray kAcknowledgement("ok\n");
// A URL, token included, is far shorter; a peer that sends more, or sends
// nothing, would otherwise hold memory or a connection for as long as it likes.
const int kMaxRequestBytes = 64 * 1024;
const int kReadLimitMs = 5000;
const int kRetryPauseMs = 100;

QString ServerPath(const QString& privateFolder)
{
    return privateFolder + QStringLiteral("/handover");
}

// The folder's mode already keeps other users away from the socket; the
// kernel's word on who is at the other end still holds when it does not.
bool IsPeerOfThisUser(const QLocalSocket& socket)
{
    ucred peer = {};
    socklen_t size = sizeof(peer);
    return ::getsockopt(static_cast<int>(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0
        && peer.uid == ::geteuid();
}

void Drop(QLocalSocket* socket)
{
    socket->abort();
    socket->deleteLater();
}

} // namespace

NdInstanceChannel::NdInstanceChannel(QObject* parent) : QObject(parent) { }

bool NdInstanceChannel::Listen(const QString& privateFolder)
{
    Server = new QLocalServer(this);
    Server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(Server, &QLocalServer::newConnection, this, &NdInstanceChannel::onNewConnection);
    QLocalServer::removeServer(ServerPath(privateFolder));
    return Server->listen(ServerPath(privateFolder));
}

QString NdInstanceChannel::ErrorString() const
{
    return Server ? Server->errorString() : QString();
}

void NdInstanceChannel::onNewConnection()
{
    while (QLocalSocket* socket = Server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        if (!IsPeerOfThisUser(*socket)) {
            Drop(socket);
            continue;
        }
        QTimer::singleShot(kReadLimitMs, socket, [socket]() { Drop(socket); });
        connect(socket, &QLocalSocket::readyRead, this, [this, socket]() { onRequestData(socket); });
    }
}

void NdInstanceChannel::onRequestData(QLocalSocket* socket)
{
    const int end = socket->peek(kMaxRequestBytes + 1).indexOf('\n');
    if (end < 0) {
        if (socket->bytesAvailable() > kMaxRequestBytes)
            Drop(socket);
        return;
    }
    // One request per connection.
    disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
    const QByteArray line = socket->read(end + 1).trimmed();
    socket->write(kAcknowledgement);
    socket->flush();
    socket->disconnectFromServer();
    if (!line.isEmpty())
        emit sigUrlReceived(QString::fromUtf8(line));
}

bool NdInstanceChannel::SendToRunning(const QString& privateFolder, const QString& urlText, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    for (;;) {
        socket.connectToServer(ServerPath(privateFolder));
        if (socket.waitForConnected(static_cast<int>(qMax<qint64>(1, deadline.remainingTime()))))
            break;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(kRetryPauseMs);
    }
    if (!IsPeerOfThisUser(socket))
        return false;
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
