#pragma once

class NdTestHttpServer;

// The platform's link shaping and its counters, reached over two paths:
//   POST /_control/link  {"firstByteDelayMs", "connectionDelayMs", "bytesPerSecond"}
//                        sets the shape (missing members are 0) and zeroes the counters
//   GET  /_link          the shape, the connections and TLS handshakes accepted since,
//                        and from the request log: the connections and handshakes that
//                        served lesson files, and the connections that served the rest
namespace NdSampleLink {
void InstallRoutes(NdTestHttpServer* server);
} // namespace NdSampleLink
