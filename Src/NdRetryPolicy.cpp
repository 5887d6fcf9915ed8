#include "NdRetryPolicy.h"

#include "NdCore/NdDeploySettings.h"
#include "NdCore/NdLogManager.h"
#include "NdCore/NdStopScope.h"

#include <QElapsedTimer>
#include <QLocale>
#include <QMetaEnum>
#include <QNetworkReply>
#include <QRandomGenerator>
#include <QThread>

#include <algorithm>
#include <cmath>

namespace {

thread_local bool t_lastGiveUpTransient = false;

const double kJitterShare = 0.25;

bool IsTransientStatus(int status)
{
    static const int transient[] = {408, 425, 429, 500, 502, 503, 504};
    return std::find(std::begin(transient), std::end(transient), status) != std::end(transient);
}

bool IsTransientCode(int code)
{
    switch (code) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyTimeoutError:
    case QNetworkReply::ProtocolFailure:
        return true;
    default:
        return false;
    }
}

const char* ReasonPhrase(int status)
{
    switch (status) {
    case 408:
        return "Request Timeout";
    case 425:
        return "Too Early";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    default:
        return "";
    }
}

// Waits, a tenth of a second at a time, unless the thread must stop; false then.
bool WaitUnlessStopped(qint64 ms)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        if (NdStopScope::StopRequested())
            return false;
        QThread::msleep(static_cast<unsigned long>(qMin<qint64>(ms - clock.elapsed(), NdStopScope::kCheckIntervalMs)));
    }
    return !NdStopScope::StopRequested();
}

} // namespace

bool NdRetryPolicy::IsTransient(const NdHttpFailure_t& failure)
{
    if (!failure.Failed())
        return false;
    if (failure.HttpStatus >= 400)
        return IsTransientStatus(failure.HttpStatus);
    if (failure.Code == QNetworkReply::SslHandshakeFailedError)
        return !failure.CertificateError;
    return IsTransientCode(failure.Code);
}

qint64 NdRetryPolicy::RetryAfterMs(const QByteArray& header, const QDateTime& now)
{
    const QByteArray text = header.trimmed();
    bool isNumber = false;
    const qint64 seconds = text.toLongLong(&isNumber);
    if (isNumber)
        return seconds >= 0 ? qMin(seconds, kMaxRetryAfterMs) * 1000 : -1;
    // An HTTP date: "Wed, 21 Oct 2015 07:28:00 GMT".
    const QDateTime when
        = QLocale::c().toDateTime(QString::fromLatin1(text), QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"));
    if (!when.isValid())
        return -1;
    QDateTime utc = when;
    utc.setTimeSpec(Qt::UTC);
    return qMax<qint64>(0, now.msecsTo(utc));
}

qint64 NdRetryPolicy::DelayMs(
    int tried, const NdHttpFailure_t& failure, qint64 firstMs, double jitter, const QDateTime& now)
{
    const qint64 asked = RetryAfterMs(failure.RetryAfter, now);
    if (asked >= 0)
        return qMin(asked, kMaxRetryAfterMs);
    const double backoff = static_cast<double>(firstMs) * std::ldexp(1.0, qBound(0, tried - 1, 16));
    return static_cast<qint64>(std::llround(backoff * (1.0 + kJitterShare * qBound(-1.0, jitter, 1.0))));
}

QString NdRetryPolicy::Describe(const NdHttpFailure_t& failure)
{
    if (failure.HttpStatus > 0)
        return QStringLiteral("%1 %2")
            .arg(failure.HttpStatus)
            .arg(QLatin1String(ReasonPhrase(failure.HttpStatus)))
            .trimmed();
    if (const char* name = QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(failure.Code))
        return QString::fromLatin1(name);
    return failure.Text;
}

NdHttpFailure_t NdRetryPolicy::Run(const QString& what, const std::function<NdHttpFailure_t()>& once)
{
    t_lastGiveUpTransient = false;
    const qint64 firstMs = NdDeploySettings::Get().RetryDelayMs;
    for (int tried = 1;; ++tried) {
        const NdHttpFailure_t outcome = once();
        const bool transient = IsTransient(outcome);
        if (!transient || tried >= kMaxTries || NdStopScope::StopRequested()) {
            t_lastGiveUpTransient = transient;
            return outcome;
        }
        const qint64 waitMs = DelayMs(tried, outcome, firstMs, QRandomGenerator::global()->generateDouble() * 2.0 - 1.0,
            QDateTime::currentDateTimeUtc());
        ND_LOG(LogInfo, "retry %d/%d of %s in %s s: %s", tried + 1, kMaxTries, qUtf8Printable(what),
            qUtf8Printable(QString::number(waitMs / 1000.0, 'g', 2)), qUtf8Printable(Describe(outcome)));
        if (!WaitUnlessStopped(waitMs))
            return outcome;
    }
}

bool NdRetryPolicy::LastGiveUpWasTransient()
{
    return t_lastGiveUpTransient;
}
