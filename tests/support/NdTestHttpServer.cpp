#include "NdTestHttpServer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QMutex>
#include <QMutexLocker>
#include <QSet>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QThread>
#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>

namespace {

// Without a pause requested, the body goes out in pieces of this size, and the
// next piece waits while more than the backlog is still unsent, so that a large
// file never sits whole in the socket's buffer.
const qint64 kPieceSize = 64 * 1024;
const qint64 kWriteBacklog = 256 * 1024;
// A paced connection sends a piece about every this many milliseconds.
const qint64 kPaceTickMs = 10;

QByteArray ReasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

bool HasHeader(const QList<QPair<QByteArray, QByteArray>>& headers, const QByteArray& name)
{
    for (const auto& header : headers) {
        if (header.first.toLower() == name)
            return true;
    }
    return false;
}

} // namespace

// Routes, fallback and the request log: shared between the owner's thread and
// the server thread, so every access holds the lock.
class NdTestServerCore
{
public:
    void Route(const QByteArray& path, NdTestHandler handler)
    {
        QMutexLocker locker(&m_lock);
        m_routes.insert(path, std::move(handler));
    }

    void SetFallback(NdTestHandler handler)
    {
        QMutexLocker locker(&m_lock);
        m_fallback = std::move(handler);
    }

    void Log(const NdTestRequest& request)
    {
        QMutexLocker locker(&m_lock);
        m_requests.append(request);
    }

    NdTestResponse Handle(const NdTestRequest& request) const
    {
        NdTestHandler handler;
        {
            QMutexLocker locker(&m_lock);
            handler = m_routes.value(request.path, m_fallback);
        }
        // Handlers run unlocked: they may be slow or look at the log themselves.
        if (!handler)
            return NdTestResponse::Text("Not Found", 404);
        return handler(request);
    }

    QList<NdTestRequest> Requests() const
    {
        QMutexLocker locker(&m_lock);
        return m_requests;
    }

    void ClearRequests()
    {
        QMutexLocker locker(&m_lock);
        m_requests.clear();
    }

    int NextConnectionId()
    {
        QMutexLocker locker(&m_lock);
        ++m_counters.connections;
        return ++m_lastConnectionId;
    }

    void CountHandshake()
    {
        QMutexLocker locker(&m_lock);
        ++m_counters.handshakes;
    }

    void SetLinkShape(const NdTestLinkShape& shape)
    {
        QMutexLocker locker(&m_lock);
        m_shape = shape;
        m_answers = 0;
    }

    // How long the next answer waits before its first byte: every tailEvery-th
    // one waits tailDelayMs longer.
    int NextFirstByteDelayMs()
    {
        QMutexLocker locker(&m_lock);
        ++m_answers;
        const bool tail = m_shape.tailEvery > 0 && m_answers % m_shape.tailEvery == 0;
        return m_shape.firstByteDelayMs + (tail ? m_shape.tailDelayMs : 0);
    }

    NdTestLinkShape LinkShape() const
    {
        QMutexLocker locker(&m_lock);
        return m_shape;
    }

    NdTestLinkCounters LinkCounters() const
    {
        QMutexLocker locker(&m_lock);
        return m_counters;
    }

    void ResetLinkCounters()
    {
        QMutexLocker locker(&m_lock);
        m_counters = NdTestLinkCounters();
    }

private:
    mutable QMutex m_lock;
    QMap<QByteArray, NdTestHandler> m_routes;
    NdTestHandler m_fallback;
    QList<NdTestRequest> m_requests;
    int m_lastConnectionId = 0;
    NdTestLinkShape m_shape;
    int m_answers = 0;
    NdTestLinkCounters m_counters;
};

namespace {

// One client connection: parses requests as they arrive and answers them one
// after the other on the same socket. A child of its socket, so it goes with it.
class NdTestConnection : public QObject
{
public:
    NdTestConnection(QTcpSocket* socket, NdTestServerCore* core)
        : QObject(socket), m_socket(socket), m_core(core), m_id(core->NextConnectionId())
    {
        connect(socket, &QTcpSocket::readyRead, this, [this] { OnReadyRead(); });
        const auto sendMoreWhenDrained = [this] {
            if (m_resetPending)
                ResetWhenDrained();
            else if (m_sending && !m_waitingForDelay)
                SendMore();
        };
        connect(socket, &QTcpSocket::bytesWritten, this, sendMoreWhenDrained);
        if (auto* ssl = qobject_cast<QSslSocket*>(socket)) {
            connect(ssl, &QSslSocket::encryptedBytesWritten, this, sendMoreWhenDrained);
            connect(ssl, &QSslSocket::encrypted, this, [core] { core->CountHandshake(); });
        }
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }

private:
    void OnReadyRead()
    {
        m_buffer += m_socket->readAll();
        ServeWaitingRequests();
    }

    void ServeWaitingRequests()
    {
        NdTestRequest request;
        while (!m_sending && !m_stalled && TakeRequest(&request))
            Respond(request);
    }

    bool TakeRequest(NdTestRequest* request)
    {
        const int headerEnd = m_buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return false;
        const QList<QByteArray> lines = m_buffer.left(headerEnd).split('\n');
        NdTestRequest parsed;
        parsed.connectionId = m_id;
        const auto* ssl = qobject_cast<const QSslSocket*>(m_socket);
        parsed.encrypted = ssl && ssl->isEncrypted();
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        parsed.method = requestLine.value(0);
        parsed.target = requestLine.value(1);
        for (int i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).trimmed();
            const int colon = line.indexOf(':');
            if (colon > 0)
                parsed.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
        }
        const qint64 bodyLength = parsed.headers.value("content-length").toLongLong();
        const qint64 requestEnd = headerEnd + 4 + bodyLength;
        if (m_buffer.size() < requestEnd)
            return false;
        parsed.body = m_buffer.mid(headerEnd + 4, static_cast<int>(bodyLength));
        m_buffer.remove(0, static_cast<int>(requestEnd));
        const int question = parsed.target.indexOf('?');
        parsed.path = question < 0 ? parsed.target : parsed.target.left(question);
        parsed.query = question < 0 ? QByteArray() : parsed.target.mid(question + 1);
        *request = parsed;
        return true;
    }

    void Respond(const NdTestRequest& request)
    {
        m_core->Log(request);
        m_response = m_core->Handle(request);
        m_body = m_response.body;
        qint64 total = m_body.size();
        if (!m_response.filePath.isEmpty()) {
            m_file.reset(new QFile(m_response.filePath));
            if (!m_file->open(QIODevice::ReadOnly)) {
                m_file.reset();
                m_response = NdTestResponse::Text("Cannot read " + m_response.filePath.toUtf8(), 500);
                m_body = m_response.body;
            }
            total = m_file ? m_file->size() : m_body.size();
        }
        m_closeAfter = request.headers.value("connection").toLower() == "close" || m_response.dropAfterBytes >= 0
            || m_response.resetAfterBytes >= 0;
        m_sending = true;
        m_shape = m_core->LinkShape();
        const int delayMs = m_core->NextFirstByteDelayMs();
        if (delayMs <= 0) {
            StartSending(total);
            return;
        }
        m_waitingForDelay = true;
        QTimer::singleShot(delayMs, Qt::PreciseTimer, this, [this, total] {
            m_waitingForDelay = false;
            StartSending(total);
        });
    }

    void StartSending(qint64 total)
    {
        m_socket->write(HeaderBlock(total));
        m_sent = 0;
        m_limit = total;
        if (m_response.stallAfterBytes >= 0)
            m_limit = qMin(m_limit, m_response.stallAfterBytes);
        if (m_response.dropAfterBytes >= 0)
            m_limit = qMin(m_limit, m_response.dropAfterBytes);
        if (m_response.resetAfterBytes >= 0)
            m_limit = qMin(m_limit, m_response.resetAfterBytes);
        m_paceClock.start();
        SendMore();
    }

    // Body bytes the link lets through by now; unlimited without a rate.
    qint64 PaceAllowance() const
    {
        if (m_shape.bytesPerSecond <= 0)
            return m_limit - m_sent;
        return m_shape.bytesPerSecond * m_paceClock.elapsed() / 1000 - m_sent;
    }

    void WaitForPace(qint64 wantedBytes)
    {
        const qint64 missing = wantedBytes - PaceAllowance();
        const qint64 waitMs = qMax<qint64>(1, (missing * 1000 + m_shape.bytesPerSecond - 1) / m_shape.bytesPerSecond);
        m_waitingForDelay = true;
        QTimer::singleShot(static_cast<int>(waitMs), Qt::PreciseTimer, this, [this] {
            m_waitingForDelay = false;
            SendMore();
        });
    }

    QByteArray HeaderBlock(qint64 bodySize) const
    {
        QByteArray block
            = "HTTP/1.1 " + QByteArray::number(m_response.status) + ' ' + ReasonPhrase(m_response.status) + "\r\n";
        for (const auto& header : m_response.headers)
            block += header.first + ": " + header.second + "\r\n";
        if (!HasHeader(m_response.headers, "content-length"))
            block += "Content-Length: " + QByteArray::number(bodySize) + "\r\n";
        if (!HasHeader(m_response.headers, "connection"))
            block += m_closeAfter ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
        return block + "\r\n";
    }

    void SendMore()
    {
        const bool paced = m_response.chunkSize > 0;
        qint64 pieceSize = paced ? m_response.chunkSize : kPieceSize;
        if (m_shape.bytesPerSecond > 0)
            pieceSize = qBound<qint64>(1, m_shape.bytesPerSecond * kPaceTickMs / 1000, pieceSize);
        while (m_sent < m_limit) {
            if (PendingBytes() > kWriteBacklog)
                return; // bytesWritten brings us back
            const qint64 size = qMin(pieceSize, m_limit - m_sent);
            if (PaceAllowance() < size) {
                WaitForPace(size);
                return;
            }
            const QByteArray piece
                = m_file ? m_file->read(size) : m_body.mid(static_cast<int>(m_sent), static_cast<int>(size));
            if (piece.isEmpty())
                break;
            m_socket->write(piece);
            m_sent += piece.size();
            if (paced && m_response.chunkDelayMs > 0 && m_sent < m_limit) {
                m_waitingForDelay = true;
                QTimer::singleShot(m_response.chunkDelayMs, this, [this] {
                    m_waitingForDelay = false;
                    SendMore();
                });
                return;
            }
        }
        FinishResponse();
    }

    // A TLS socket encrypts at once and queues the result below bytesToWrite(),
    // so both queues count, or a large body would be buffered whole.
    qint64 PendingBytes() const
    {
        const auto* ssl = qobject_cast<const QSslSocket*>(m_socket);
        return m_socket->bytesToWrite() + (ssl ? ssl->encryptedBytesToWrite() : 0);
    }

    void FinishResponse()
    {
        const bool stall = m_response.stallAfterBytes >= 0 && m_response.dropAfterBytes < 0;
        m_file.reset();
        m_body.clear();
        if (stall) {
            // Keep the socket open and send nothing more, ever: the client has
            // to give up on its own.
            m_stalled = true;
            return;
        }
        m_sending = false;
        if (m_response.resetAfterBytes >= 0) {
            m_resetPending = true;
            ResetWhenDrained();
            return;
        }
        if (m_closeAfter) {
            m_socket->disconnectFromHost(); // sends what is buffered, then closes
            return;
        }
        ServeWaitingRequests();
    }

    // Once the bytes before the fault are out, closing with a zero linger time
    // makes the kernel answer with a reset instead of an orderly close.
    void ResetWhenDrained()
    {
        if (PendingBytes() > 0)
            return;
        m_resetPending = false;
        const linger reset{1, 0};
        ::setsockopt(static_cast<int>(m_socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        m_socket->abort();
    }

    QTcpSocket* m_socket;
    NdTestServerCore* m_core;
    int m_id;
    QByteArray m_buffer;
    NdTestResponse m_response;
    QByteArray m_body;
    std::unique_ptr<QFile> m_file;
    qint64 m_sent = 0;
    qint64 m_limit = 0;
    bool m_sending = false;
    bool m_waitingForDelay = false;
    bool m_stalled = false;
    bool m_closeAfter = false;
    bool m_resetPending = false;
    NdTestLinkShape m_shape; // of the answer being sent
    QElapsedTimer m_paceClock;
};

// Accepts connections, wrapping each in TLS when a certificate is given. With
// a connection delay, the client's first bytes wait in the kernel meanwhile.
class NdTestListener : public QTcpServer
{
public:
    NdTestListener(NdTestServerCore* core, const QSslCertificate& certificate, const QSslKey& key, QObject* parent)
        : QTcpServer(parent), m_core(core), m_certificate(certificate), m_key(key)
    { }

    ~NdTestListener() override
    {
        for (const qintptr descriptor : qAsConst(m_delayed))
            ::close(static_cast<int>(descriptor));
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        const int delay = m_core->LinkShape().connectionDelayMs;
        if (delay <= 0) {
            Accept(descriptor);
            return;
        }
        m_delayed.insert(descriptor);
        QTimer::singleShot(delay, Qt::PreciseTimer, this, [this, descriptor] {
            m_delayed.remove(descriptor);
            Accept(descriptor);
        });
    }

private:
    void Accept(qintptr descriptor)
    {
        QTcpSocket* socket = m_certificate.isNull() ? new QTcpSocket(this) : new QSslSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        if (auto* ssl = qobject_cast<QSslSocket*>(socket)) {
            ssl->setLocalCertificate(m_certificate);
            ssl->setPrivateKey(m_key);
            ssl->setPeerVerifyMode(QSslSocket::VerifyNone);
            connect(ssl, &QAbstractSocket::errorOccurred, ssl, [ssl] { ssl->abort(); });
            ssl->startServerEncryption();
        }
        new NdTestConnection(socket, m_core);
    }

    NdTestServerCore* m_core;
    QSslCertificate m_certificate;
    QSslKey m_key;
    QSet<qintptr> m_delayed; // accepted, waiting out the connection delay
};

} // namespace

struct NdTestHttpServer::Private
{
    Mode mode = Plain;
    NdTestServerCore core;
    QThread thread;
    QObject* anchor = nullptr;          // lives on the server thread while it runs
    NdTestListener* listener = nullptr; // child of anchor
    quint16 port = 0;
};

NdTestResponse NdTestResponse::Text(const QByteArray& body, int status, const QByteArray& contentType)
{
    NdTestResponse response;
    response.status = status;
    response.headers.append({"Content-Type", contentType});
    response.body = body;
    return response;
}

NdTestResponse NdTestResponse::Redirect(const QByteArray& location, int status)
{
    NdTestResponse response;
    response.status = status;
    response.headers.append({"Location", location});
    return response;
}

NdTestHttpServer::NdTestHttpServer(Mode mode) : d(new Private)
{
    d->mode = mode;
    d->thread.setObjectName(QStringLiteral("NdTestHttpServer"));
}

NdTestHttpServer::~NdTestHttpServer()
{
    Stop();
}

bool NdTestHttpServer::Start(quint16 port)
{
    if (d->anchor)
        return true;
    QSslCertificate certificate;
    QSslKey key;
    if (d->mode != Plain) {
        const NdTestCa& ca = NdTestCa::Instance();
        if (!ca.Ok)
            return false;
        const bool untrusted = d->mode == TlsUntrusted;
        QFile certFile(untrusted ? ca.UntrustedServerCertPath : ca.ServerCertPath);
        QFile keyFile(untrusted ? ca.UntrustedServerKeyPath : ca.ServerKeyPath);
        if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly))
            return false;
        certificate = QSslCertificate(certFile.readAll(), QSsl::Pem);
        key = QSslKey(keyFile.readAll(), QSsl::Ec, QSsl::Pem);
        if (certificate.isNull() || key.isNull())
            return false;
    }

    d->anchor = new QObject;
    d->anchor->moveToThread(&d->thread);
    d->thread.start();
    bool listening = false;
    Private* p = d.get();
    QMetaObject::invokeMethod(
        d->anchor,
        [p, port, certificate, key, &listening] {
            p->listener = new NdTestListener(&p->core, certificate, key, p->anchor);
            listening = p->listener->listen(QHostAddress::LocalHost, port);
            p->port = p->listener->serverPort();
        },
        Qt::BlockingQueuedConnection);
    if (!listening)
        Stop();
    return listening;
}

void NdTestHttpServer::Stop()
{
    if (!d->anchor)
        return;
    Private* p = d.get();
    QThread* caller = QThread::currentThread();
    // Sockets and timers belong to the server thread: they are torn down there,
    // and only the empty anchor comes back to be deleted here.
    QMetaObject::invokeMethod(
        d->anchor,
        [p, caller] {
            delete p->listener;
            p->listener = nullptr;
            p->anchor->moveToThread(caller);
        },
        Qt::BlockingQueuedConnection);
    d->thread.quit();
    d->thread.wait();
    delete d->anchor;
    d->anchor = nullptr;
    d->port = 0;
}

quint16 NdTestHttpServer::Port() const
{
    return d->port;
}

QString NdTestHttpServer::BaseUrl() const
{
    const QString scheme = d->mode == Plain ? QStringLiteral("http") : QStringLiteral("https");
    return QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(d->port);
}

void NdTestHttpServer::Route(const QByteArray& path, NdTestHandler handler)
{
    d->core.Route(path, std::move(handler));
}

void NdTestHttpServer::SetFallback(NdTestHandler handler)
{
    d->core.SetFallback(std::move(handler));
}

QList<NdTestRequest> NdTestHttpServer::Requests() const
{
    return d->core.Requests();
}

int NdTestHttpServer::CountRequests(const QByteArray& path) const
{
    int count = 0;
    for (const NdTestRequest& request : d->core.Requests()) {
        if (request.path == path)
            ++count;
    }
    return count;
}

void NdTestHttpServer::ClearRequests()
{
    d->core.ClearRequests();
}

void NdTestHttpServer::SetLinkShape(const NdTestLinkShape& shape)
{
    d->core.SetLinkShape(shape);
}

NdTestLinkShape NdTestHttpServer::LinkShape() const
{
    return d->core.LinkShape();
}

NdTestLinkCounters NdTestHttpServer::LinkCounters() const
{
    return d->core.LinkCounters();
}

void NdTestHttpServer::ResetLinkCounters()
{
    d->core.ResetLinkCounters();
}

QJsonObject NdTestLinkShape::ToJson() const
{
    return QJsonObject{{"firstByteDelayMs", firstByteDelayMs}, {"connectionDelayMs", connectionDelayMs},
        {"bytesPerSecond", static_cast<double>(bytesPerSecond)}, {"tailEvery", tailEvery},
        {"tailDelayMs", tailDelayMs}};
}

NdTestLinkShape NdTestLinkShape::FromJson(const QJsonObject& object)
{
    NdTestLinkShape shape;
    shape.firstByteDelayMs = object.value("firstByteDelayMs").toInt();
    shape.connectionDelayMs = object.value("connectionDelayMs").toInt();
    shape.bytesPerSecond = static_cast<qint64>(object.value("bytesPerSecond").toDouble());
    shape.tailEvery = object.value("tailEvery").toInt();
    shape.tailDelayMs = object.value("tailDelayMs").toInt();
    return shape;
}
