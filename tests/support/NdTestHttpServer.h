#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>

#include <functional>
#include <memory>

// One request as the loopback test server received it.
struct NdTestRequest
{
    QByteArray Method;
    QByteArray Target;                    // path with query, as sent
    QByteArray Path;                      // without query
    QByteArray Query;                     // without "?"
    QMap<QByteArray, QByteArray> Headers; // names in lower case
    QByteArray Body;
    int ConnectionId = 0;   // same id for requests on one kept-alive connection
    bool Encrypted = false; // arrived over TLS (the connection made one handshake)
};

// What the server answers, including the faults the tests need.
struct NdTestResponse
{
    int Status = 200;
    QList<QPair<QByteArray, QByteArray>> Headers;
    QByteArray Body;
    QString FilePath;            // when set, the body is streamed from this file
    int ChunkSize = 0;           // > 0: send the body in chunks of this size ...
    int ChunkDelayMs = 0;        // ... with this pause between chunks (slow delivery)
    qint64 StallAfterBytes = -1; // >= 0: send that many body bytes, then nothing more
    qint64 DropAfterBytes = -1;  // >= 0: send that many body bytes, then close the connection
    qint64 ResetAfterBytes = -1; // >= 0: send that many body bytes, then reset the connection (RST)

    static NdTestResponse Text(
        const QByteArray& body, int status = 200, const QByteArray& contentType = "text/plain; charset=utf-8");
    static NdTestResponse Redirect(const QByteArray& location, int status = 302);
};

using NdTestHandler = std::function<NdTestResponse(const NdTestRequest&)>;

// A link slower than loopback, for benchmarks: every answer waits before its
// first byte (the round trip of the request), every new connection waits before
// the server reads from it (the round trips of the TCP and TLS set-up), and each
// connection sends at most bytesPerSecond. Zero leaves that part at loopback speed.
struct NdTestLinkShape
{
    int FirstByteDelayMs = 0;
    int ConnectionDelayMs = 0;
    qint64 BytesPerSecond = 0;
    // Every tailEvery-th answer waits tailDelayMs more before its first byte:
    // the slow tail of a real link.
    int TailEvery = 0;
    int TailDelayMs = 0;

    // {"firstByteDelayMs", "connectionDelayMs", "bytesPerSecond", "tailEvery",
    // "tailDelayMs"}; missing members are 0.
    QJsonObject ToJson() const;
    static NdTestLinkShape FromJson(const QJsonObject& object);
};

// What the server accepted since it started or since ResetLinkCounters.
struct NdTestLinkCounters
{
    int Connections = 0; // accepted
    int Handshakes = 0;  // TLS handshakes completed
};

// An HTTP/1.1 server on 127.0.0.1 (plain or TLS with the test CA's server
// certificate), running on a thread of its own, with keep-alive and a log of
// every request. Handlers run on the server's thread.
class NdTestHttpServer
{
public:
    enum Mode
    {
        Plain,
        Tls,
        TlsUntrusted, // TLS with the server certificate of the other, unrelated CA
    };

    explicit NdTestHttpServer(Mode mode = Plain);
    ~NdTestHttpServer(); // stops the server

    bool Start(quint16 port = 0);
    void Stop();
    quint16 Port() const;
    QString BaseUrl() const; // "http://127.0.0.1:<port>" or "https://..."

    // Exact-path route (without query); the fallback handler serves the rest
    // (404 by default).
    void Route(const QByteArray& path, NdTestHandler handler);
    void SetFallback(NdTestHandler handler);

    QList<NdTestRequest> Requests() const;
    int CountRequests(const QByteArray& path) const;
    void ClearRequests();

    // Applies to answers and connections from now on.
    void SetLinkShape(const NdTestLinkShape& shape);
    NdTestLinkShape LinkShape() const;
    NdTestLinkCounters LinkCounters() const;
    void ResetLinkCounters();

private:
    struct Private;
    std::unique_ptr<Private> D;
};

// A certificate authority made with the openssl command at first use, in a
// temporary folder that lives as long as the process: a CA certificate and a
// server certificate for 127.0.0.1 and localhost signed by it. A second,
// unrelated CA ("other") signs the untrusted server's certificate, for trust tests.
class NdTestCa
{
public:
    static const NdTestCa& Instance();

    QString CaCertPath;
    QString ServerCertPath;
    QString ServerKeyPath;
    QString UntrustedServerCertPath; // for 127.0.0.1, signed by the other CA
    QString UntrustedServerKeyPath;
    bool Ok = false;
};
