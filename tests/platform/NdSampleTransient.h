#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QMutex>
#include <QString>

struct NdTestResponse;

// Faults that come and go, as a real network's do, set over
// POST /_control/faults and cleared by /_control/reset:
//   {"rules": [{"path": "/lessons/long/seg3.ts", "first": 2, "status": 503, "retryAfter": "2"},
//              {"path": ..., "first": 1, "fault": "reset" | "cut" | "stall" | "trickle"}],
//    "flaky": {"probability": 0.02, "seed": 7}}
// A rule hits the first N requests of its exact path. In flaky mode every
// request of a lesson file fails with the probability given, half of them
// with 503 and half with a reset connection; the draw depends only on the
// seed, the path and how often that path was asked for, so runs repeat.
class NdSampleTransient
{
public:
    bool Set(const QJsonObject& spec, QString* error);
    void Clear();
    // Shapes the answer to a lesson file's request; true when a fault hit it.
    bool Apply(const QByteArray& path, NdTestResponse* response);

private:
    struct Rule_t
    {
        QByteArray Path;
        int Remaining = 0;
        int Status = 0;
        QByteArray RetryAfter;
        QString Fault;
    };

    static void Shape(const Rule_t& rule, NdTestResponse* response);
    bool DrawFlaky(const QByteArray& path);

    QMutex Lock; // guards everything below (handlers run on the server's thread)
    QList<Rule_t> Rules;
    double Probability = 0.0;
    quint64 Seed = 0;
    QHash<QByteArray, int> Asked;
};
