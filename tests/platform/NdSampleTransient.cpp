#include "NdSampleTransient.h"

#include "NdTestHttpServer.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QMutexLocker>
#include <QtEndian>

namespace {
const QStringList kFaults{"reset", "cut", "stall", "trickle"};
// A trickle: far below 16 KiB in any time-out window, yet never silent.
const int kTrickleBytes = 256;
const int kTrickleDelayMs = 500;
} // namespace

bool NdSampleTransient::Set(const QJsonObject& spec, QString* error)
{
    QList<Rule_t> rules;
    for (const QJsonValue& value : spec.value(QStringLiteral("rules")).toArray()) {
        const QJsonObject object = value.toObject();
        Rule_t rule;
        rule.Path = object.value(QStringLiteral("path")).toString().toUtf8();
        rule.Remaining = object.value(QStringLiteral("first")).toInt(1);
        rule.Status = object.value(QStringLiteral("status")).toInt();
        rule.RetryAfter = object.value(QStringLiteral("retryAfter")).toString().toUtf8();
        rule.Fault = object.value(QStringLiteral("fault")).toString();
        if (rule.Path.isEmpty() || (rule.Status == 0) == rule.Fault.isEmpty()
            || (!rule.Fault.isEmpty() && !kFaults.contains(rule.Fault))) {
            *error = QStringLiteral("a rule needs a path and either a status or one of: %1").arg(kFaults.join(' '));
            return false;
        }
        rules << rule;
    }
    const QJsonObject flaky = spec.value(QStringLiteral("flaky")).toObject();
    QMutexLocker locker(&Lock);
    Rules = rules;
    Probability = qBound(0.0, flaky.value(QStringLiteral("probability")).toDouble(), 1.0);
    Seed = static_cast<quint64>(flaky.value(QStringLiteral("seed")).toDouble());
    Asked.clear();
    return true;
}

void NdSampleTransient::Clear()
{
    QMutexLocker locker(&Lock);
    Rules.clear();
    Probability = 0.0;
    Asked.clear();
}

bool NdSampleTransient::Apply(const QByteArray& path, NdTestResponse* response)
{
    QMutexLocker locker(&Lock);
    for (Rule_t& rule : Rules) {
        if (rule.Path == path && rule.Remaining > 0) {
            --rule.Remaining;
            Shape(rule, response);
            return true;
        }
    }
    if (!DrawFlaky(path))
        return false;
    Rule_t flaky;
    flaky.Status = Asked.value(path) % 2 == 0 ? 503 : 0;
    flaky.Fault = flaky.Status == 0 ? QStringLiteral("reset") : QString();
    Shape(flaky, response);
    return true;
}

void NdSampleTransient::Shape(const Rule_t& rule, NdTestResponse* response)
{
    if (rule.Status != 0) {
        *response = NdTestResponse::Text("try again later\n", rule.Status);
        if (!rule.RetryAfter.isEmpty())
            response->Headers += qMakePair(QByteArray("Retry-After"), rule.RetryAfter);
    } else if (rule.Fault == QLatin1String("reset")) {
        response->ResetAfterBytes = 100;
    } else if (rule.Fault == QLatin1String("cut")) {
        response->DropAfterBytes = 100;
    } else if (rule.Fault == QLatin1String("stall")) {
        response->StallAfterBytes = 100;
    } else {
        response->ChunkSize = kTrickleBytes;
        response->ChunkDelayMs = kTrickleDelayMs;
    }
}

bool NdSampleTransient::DrawFlaky(const QByteArray& path)
{
    if (Probability <= 0.0)
        return false;
    const int asked = ++Asked[path];
    QByteArray key = path + '#' + QByteArray::number(asked) + '#' + QByteArray::number(Seed);
    const QByteArray digest = QCryptographicHash::hash(key, QCryptographicHash::Sha256);
    const quint64 draw = qFromBigEndian<quint64>(digest.constData());
    return static_cast<double>(draw >> 11) / static_cast<double>(quint64(1) << 53) < Probability;
}
