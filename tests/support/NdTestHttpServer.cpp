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
        QMutexLocker locker(&Lock);
        RouteTable.insert(path, std::move(handler));
    }

    void SetFallback(NdTestHandler handler)
    {
        QMutexLocker locker(&Lock);
        Fallback = std::move(handler);
    }

    void Log(const NdTestRequest& request)
    {
        QMutexLocker locker(&Lock);
        RequestLog.append(request);
    }

    NdTestResponse Handle(const NdTestRequest& request) const
    {
        NdTestHandler handler;
        {
            QMutexLocker locker(&Lock);
            handler = RouteTable.value(request.Path, Fallback);
        }
        // Handlers run unlocked: they may be slow or look at the log themselves.
        if (!handler)
            return NdTestResponse::Text("Not Found", 404);
        return handler(request);
    }

    QList<NdTestRequest> Requests() const
    {
        QMutexLocker locker(&Lock);
        return RequestLog;
    }

    void ClearRequests()
    {
        QMutexLocker locker(&Lock);
        RequestLog.clear();
    }

    int NextConnectionId()
    {
        QMutexLocker locker(&Lock);
        ++Counters.Connections;
        return ++LastConnectionId;
    }

    void CountHandshake()
    {
        QMutexLocker locker(&Lock);
        ++Counters.Handshakes;
    }

    void SetLinkShape(const NdTestLinkShape& shape)
    {
        QMutexLocker locker(&Lock);
        Shape = shape;
        Answers = 0;
    }

    // How long the next answer waits before its first byte: every tailEvery-th
    // one waits tailDelayMs longer.
    int NextFirstByteDelayMs()
    {
        QMutexLocker locker(&Lock);
        ++Answers;
        const bool tail = Shape.TailEvery > 0 && Answers % Shape.TailEvery == 0;
        return Shape.FirstByteDelayMs + (tail ? Shape.TailDelayMs : 0);
    }

    NdTestLinkShape LinkShape() const
    {
        QMutexLocker locker(&Lock);
        return Shape;
    }

    NdTestLinkCounters LinkCounters() const
    {
        QMutexLocker locker(&Lock);
        return Counters;
    }

    void ResetLinkCounters()
    {
        QMutexLocker locker(&Lock);
        Counters = NdTestLinkCounters();
    }

private:
    mutable QMutex Lock;
    QMap<QByteArray, NdTestHandler> RouteTable;
    NdTestHandler Fallback;
    QList<NdTestRequest> RequestLog;
    int LastConnectionId = 0;
    NdTestLinkShape Shape;
    int Answers = 0;
    NdTestLinkCounters Counters;
};

namespace {

// One client connection: parses requests as they arrive and answers them one
// after the other on the same socket. A child of its socket, so it goes with it.
class NdTestConnection : public QObject
{
public:
    NdTestConnection(QTcpSocket* socket, NdTestServerCore* core)
        : QObject(socket), Socket(socket), Core(core), Id(core->NextConnectionId())
    {
        connect(socket, &QTcpSocket::readyRead, this, [this] { OnReadyRead(); });
        const auto sendMoreWhenDrained = [this] {
            if (ResetPending)
                ResetWhenDrained();
            else if (Sending && !WaitingForDelay)
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
        Buffer += Socket->readAll();
        ServeWaitingRequests();
    }

    void ServeWaitingRequests()
    {
        NdTestRequest request;
        while (!Sending && !Stalled && TakeRequest(&request))
            Respond(request);
    }

    bool TakeRequest(NdTestRequest* request)
    {
        const int headerEnd = Buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return false;
        const QList<QByteArray> lines = Buffer.left(headerEnd).split('\n');
        NdTestRequest parsed;
        parsed.ConnectionId = Id;
        const auto* ssl = qobject_cast<const QSslSocket*>(Socket);
        parsed.Encrypted = ssl && ssl->isEncrypted();
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        parsed.Method = requestLine.value(0);
        parsed.Target = requestLine.value(1);
        for (int i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).trimmed();
            const int colon = line.indexOf(':');
            if (colon > 0)
                parsed.Headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
        }
        const qint64 bodyLength = parsed.Headers.value("content-length").toLongLong();
        const qint64 requestEnd = headerEnd + 4 + bodyLength;
        if (Buffer.size() < requestEnd)
            return false;
        parsed.Body = Buffer.mid(headerEnd + 4, static_cast<int>(bodyLength));
        Buffer.remove(0, static_cast<int>(requestEnd));
        const int question = parsed.Target.indexOf('?');
        parsed.Path = question < 0 ? parsed.Target : parsed.Target.left(question);
        parsed.Query = question < 0 ? QByteArray() : parsed.Target.mid(question + 1);
        *request = parsed;
        return true;
    }

    void Respond(const NdTestRequest& request)
    {
        Core->Log(request);
        Response = Core->Handle(request);
        Body = Response.Body;
        qint64 total = Body.size();
        if (!Response.FilePath.isEmpty()) {
            File.reset(new QFile(Response.FilePath));
            if (!File->open(QIODevice::ReadOnly)) {
                File.reset();
                Response = NdTestResponse::Text("Cannot read " + Response.FilePath.toUtf8(), 500);
                Body = Response.Body;
            }
            total = File ? File->size() : Body.size();
        }
        CloseAfter = request.Headers.value("connection").toLower() == "close" || Response.DropAfterBytes >= 0
            || Response.ResetAfterBytes >= 0;
        Sending = true;
        Shape = Core->LinkShape();
        const int delayMs = Core->NextFirstByteDelayMs();
        if (delayMs <= 0) {
            StartSending(total);
            return;
        }
        WaitingForDelay = true;
        QTimer::singleShot(delayMs, Qt::PreciseTimer, this, [this, total] {
            WaitingForDelay = false;
            StartSending(total);
        });
    }

    void StartSending(qint64 total)
    {
        Socket->write(HeaderBlock(total));
        Sent = 0;
        Limit = total;
        if (Response.StallAfterBytes >= 0)
            Limit = qMin(Limit, Response.StallAfterBytes);
        if (Response.DropAfterBytes >= 0)
            Limit = qMin(Limit, Response.DropAfterBytes);
        if (Response.ResetAfterBytes >= 0)
            Limit = qMin(Limit, Response.ResetAfterBytes);
        PaceClock.start();
        SendMore();
    }

    // Body bytes the link lets through by now; unlimited without a rate.
    qint64 PaceAllowance() const
    {
        if (Shape.BytesPerSecond <= 0)
            return Limit - Sent;
        return Shape.BytesPerSecond * PaceClock.elapsed() / 1000 - Sent;
    }

    void WaitForPace(qint64 wantedBytes)
    {
        const qint64 missing = wantedBytes - PaceAllowance();
        const qint64 waitMs = qMax<qint64>(1, (missing * 1000 + Shape.BytesPerSecond - 1) / Shape.BytesPerSecond);
        WaitingForDelay = true;
        QTimer::singleShot(static_cast<int>(waitMs), Qt::PreciseTimer, this, [this] {
            WaitingForDelay = false;
            SendMore();
        });
    }

    QByteArray HeaderBlock(qint64 bodySize) const
    {
        QByteArray block
            = "HTTP/1.1 " + QByteArray::number(Response.Status) + ' ' + ReasonPhrase(Response.Status) + "\r\n";
        for (const auto& header : Response.Headers)
            block += header.first + ": " + header.second + "\r\n";
        if (!HasHeader(Response.Headers, "content-length"))
            block += "Content-Length: " + QByteArray::number(bodySize) + "\r\n";
        if (!HasHeader(Response.Headers, "connection"))
            block += CloseAfter ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
        return block + "\r\n";
    }

    void SendMore()
    {
        const bool paced = Response.ChunkSize > 0;
        qint64 pieceSize = paced ? Response.ChunkSize : kPieceSize;
        if (Shape.BytesPerSecond > 0)
            pieceSize = qBound<qint64>(1, Shape.BytesPerSecond * kPaceTickMs / 1000, pieceSize);
        while (Sent < Limit) {
            if (PendingBytes() > kWriteBacklog)
                return; // bytesWritten brings us back
            const qint64 size = qMin(pieceSize, Limit - Sent);
            if (PaceAllowance() < size) {
                WaitForPace(size);
                return;
            }
            const QByteArray piece = File ? File->read(size) : Body.mid(static_cast<int>(Sent), static_cast<int>(size));
            if (piece.isEmpty())
                break;
            Socket->write(piece);
            Sent += piece.size();
            if (paced && Response.ChunkDelayMs > 0 && Sent < Limit) {
                WaitingForDelay = true;
                QTimer::singleShot(Response.ChunkDelayMs, this, [this] {
                    WaitingForDelay = false;
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
        const auto* ssl = qobject_cast<const QSslSocket*>(Socket);
        return Socket->bytesToWrite() + (ssl ? ssl->encryptedBytesToWrite() : 0);
    }

    void FinishResponse()
    {
        const bool stall = Response.StallAfterBytes >= 0 && Response.DropAfterBytes < 0;
        File.reset();
        Body.clear();
        if (stall) {
            // Keep the socket open and send nothing more, ever: the client has
            // to give up on its own.
            Stalled = true;
            return;
        }
        Sending = false;
        if (Response.ResetAfterBytes >= 0) {
            ResetPending = true;
            ResetWhenDrained();
            return;
        }
        if (CloseAfter) {
            Socket->disconnectFromHost(); // sends what is buffered, then closes
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
        ResetPending = false;
        const linger reset{1, 0};
        ::setsockopt(static_cast<int>(Socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        Socket->abort();
    }

    QTcpSocket* Socket;
    NdTestServerCore* Core;
    int Id;
    QByteArray Buffer;
    NdTestResponse Response;
    QByteArray Body;
    std::unique_ptr<QFile> File;
    qint64 Sent = 0;
    qint64 Limit = 0;
    bool Sending = false;
    bool WaitingForDelay = false;
    bool Stalled = false;
    bool CloseAfter = false;
    bool ResetPending = false;
    NdTestLinkShape Shape; // of the answer being sent
    QElapsedTimer PaceClock;
};

// Accepts connections, wrapping each in TLS when a certificate is given. With
// a connection delay, the client's first bytes wait in the kernel meanwhile.
class NdTestListener : public QTcpServer
{
public:
    NdTestListener(NdTestServerCore* core, const QSslCertificate& certificate, const QSslKey& key, QObject* parent)
        : QTcpServer(parent), Core(core), Certificate(certificate), Key(key)
    { }

    ~NdTestListener() override
    {
        for (const qintptr descriptor : qAsConst(Delayed))
            ::close(static_cast<int>(descriptor));
    }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        const int delay = Core->LinkShape().ConnectionDelayMs;
        if (delay <= 0) {
            Accept(descriptor);
            return;
        }
        Delayed.insert(descriptor);
        QTimer::singleShot(delay, Qt::PreciseTimer, this, [this, descriptor] {
            Delayed.remove(descriptor);
            Accept(descriptor);
        });
    }

private:
    void Accept(qintptr descriptor)
    {
        QTcpSocket* socket = Certificate.isNull() ? new QTcpSocket(this) : new QSslSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        if (auto* ssl = qobject_cast<QSslSocket*>(socket)) {
            ssl->setLocalCertificate(Certificate);
            ssl->setPrivateKey(Key);
            ssl->setPeerVerifyMode(QSslSocket::VerifyNone);
            connect(ssl, &QAbstractSocket::errorOccurred, ssl, [ssl] { ssl->abort(); });
            ssl->startServerEncryption();
        }
        new NdTestConnection(socket, Core);
    }

    NdTestServerCore* Core;
    QSslCertificate Certificate;
    QSslKey Key;
    QSet<qintptr> Delayed; // accepted, waiting out the connection delay
};

} // namespace

struct NdTestHttpServer::Private
{
    Mode Transport = Plain;
    NdTestServerCore Core;
    QThread Thread;
    QObject* Anchor = nullptr;          // lives on the server thread while it runs
    NdTestListener* Listener = nullptr; // child of anchor
    quint16 Port = 0;
};

NdTestResponse NdTestResponse::Text(const QByteArray& body, int status, const QByteArray& contentType)
{
    NdTestResponse response;
    response.Status = status;
    response.Headers.append({"Content-Type", contentType});
    response.Body = body;
    return response;
}

NdTestResponse NdTestResponse::Redirect(const QByteArray& location, int status)
{
    NdTestResponse response;
    response.Status = status;
    response.Headers.append({"Location", location});
    return response;
}

NdTestHttpServer::NdTestHttpServer(Mode mode) : D(new Private)
{
    D->Transport = mode;
    D->Thread.setObjectName(QStringLiteral("NdTestHttpServer"));
}

NdTestHttpServer::~NdTestHttpServer()
{
    Stop();
}

bool NdTestHttpServer::Start(quint16 port)
{
    if (D->Anchor)
        return true;
    QSslCertificate certificate;
    QSslKey key;
    if (D->Transport != Plain) {
        const NdTestCa& ca = NdTestCa::Instance();
        if (!ca.Ok)
            return false;
        const bool untrusted = D->Transport == TlsUntrusted;
        QFile certFile(untrusted ? ca.UntrustedServerCertPath : ca.ServerCertPath);
        QFile keyFile(untrusted ? ca.UntrustedServerKeyPath : ca.ServerKeyPath);
        if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly))
            return false;
        certificate = QSslCertificate(certFile.readAll(), QSsl::Pem);
        key = QSslKey(keyFile.readAll(), QSsl::Ec, QSsl::Pem);
        if (certificate.isNull() || key.isNull())
            return false;
    }

    D->Anchor = new QObject;
    D->Anchor->moveToThread(&D->Thread);
    D->Thread.start();
    bool listening = false;
    Private* p = D.get();
    QMetaObject::invokeMethod(
        D->Anchor,
        [p, port, certificate, key, &listening] {
            p->Listener = new NdTestListener(&p->Core, certificate, key, p->Anchor);
            listening = p->Listener->listen(QHostAddress::LocalHost, port);
            p->Port = p->Listener->serverPort();
        },
        Qt::BlockingQueuedConnection);
    if (!listening)
        Stop();
    return listening;
}

void NdTestHttpServer::Stop()
{
    if (!D->Anchor)
        return;
    Private* p = D.get();
    QThread* caller = QThread::currentThread();
    // Sockets and timers belong to the server thread: they are torn down there,
    // and only the empty anchor comes back to be deleted here.
    QMetaObject::invokeMethod(
        D->Anchor,
        [p, caller] {
            delete p->Listener;
            p->Listener = nullptr;
            p->Anchor->moveToThread(caller);
        },
        Qt::BlockingQueuedConnection);
    D->Thread.quit();
    D->Thread.wait();
    delete D->Anchor;
    D->Anchor = nullptr;
    D->Port = 0;
}

quint16 NdTestHttpServer::Port() const
{
    return D->Port;
}

QString NdTestHttpServer::BaseUrl() const
{
    const QString scheme = D->Transport == Plain ? QStringLiteral("http") : QStringLiteral("https");
    return QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(D->Port);
}

void NdTestHttpServer::Route(const QByteArray& path, NdTestHandler handler)
{
    D->Core.Route(path, std::move(handler));
}

void NdTestHttpServer::SetFallback(NdTestHandler handler)
{
    D->Core.SetFallback(std::move(handler));
}

QList<NdTestRequest> NdTestHttpServer::Requests() const
{
    return D->Core.Requests();
}

int NdTestHttpServer::CountRequests(const QByteArray& path) const
{
    int count = 0;
    for (const NdTestRequest& request : D->Core.Requests()) {
        if (request.Path == path)
            ++count;
    }
    return count;
}

void NdTestHttpServer::ClearRequests()
{
    D->Core.ClearRequests();
}

void NdTestHttpServer::SetLinkShape(const NdTestLinkShape& shape)
{
    D->Core.SetLinkShape(shape);
}

NdTestLinkShape NdTestHttpServer::LinkShape() const
{
    return D->Core.LinkShape();
}

NdTestLinkCounters NdTestHttpServer::LinkCounters() const
{
    return D->Core.LinkCounters();
}

void NdTestHttpServer::ResetLinkCounters()
{
    D->Core.ResetLinkCounters();
}

QJsonObject NdTestLinkShape::ToJson() const
{
    return QJsonObject{{"firstByteDelayMs", FirstByteDelayMs}, {"connectionDelayMs", ConnectionDelayMs},
        {"bytesPerSecond", static_cast<double>(BytesPerSecond)}, {"tailEvery", TailEvery},
        {"tailDelayMs", TailDelayMs}};
}

NdTestLinkShape NdTestLinkShape::FromJson(const QJsonObject& object)
{
    NdTestLinkShape shape;
    shape.FirstByteDelayMs = object.value("firstByteDelayMs").toInt();
    shape.ConnectionDelayMs = object.value("connectionDelayMs").toInt();
    shape.BytesPerSecond = static_cast<qint64>(object.value("bytesPerSecond").toDouble());
    shape.TailEvery = object.value("tailEvery").toInt();
    shape.TailDelayMs = object.value("tailDelayMs").toInt();
    return shape;
}
