#pragma once

#include "NdCore/NdHttpManager.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <functional>

// When a failed request is worth another try, and how long to wait first.
//
// Transient failures are the ones a real network has now and then: a busy
// or restarting server (HTTP 408, 425, 429, 500, 502, 503, 504), a connection
// refused, reset or closed early, a stall or a time-out, a name that did not
// resolve, a TLS handshake that failed for another reason than its
// certificate. Everything else fails at once: other answers of the 4xx kind,
// certificates, redirect loops, refused schemes, the disk.
//
// The rules hold no network code; Run carries them out for one request.
class NdRetryPolicy
{
public:
    static constexpr int kMaxTries = 5;
    static constexpr qint64 kMaxRetryAfterMs = 60 * 1000;

    static bool IsTransient(const NdHttpFailure_t& failure);
    // The wait after try number `tried` (from 1) failed: firstMs, then twice
    // as long each time, spread by jitter (-1 to 1) over ±25 %; or what the
    // server's Retry-After asks, up to 60 s.
    static qint64 DelayMs(
        int tried, const NdHttpFailure_t& failure, qint64 firstMs, double jitter, const QDateTime& now);
    // What a Retry-After header asks for, in seconds or as an HTTP date, from
    // now; -1 when it asks nothing readable.
    static qint64 RetryAfterMs(const QByteArray& header, const QDateTime& now);
    // "503 Service Unavailable", "RemoteHostClosedError": a failure in a few words.
    static QString Describe(const NdHttpFailure_t& failure);

    // Tries a request until it succeeds, fails for good or has been tried
    // kMaxTries times, on the calling thread; between tries it waits as long
    // as the deployment's first retry delay and the rules say, and ends the
    // wait at once when the thread's stop check says stop. Each retry is
    // logged: "retry 2/5 of segment 37 in 1 s: 503 Service Unavailable".
    // what names the request in the log. The outcome of the last try.
    static NdHttpFailure_t Run(const QString& what, const std::function<NdHttpFailure_t()>& once);
    // Whether the last request that Run gave up on, on this thread, failed for
    // a transient reason: the network, not the lesson, is to blame.
    static bool LastGiveUpWasTransient();
};
