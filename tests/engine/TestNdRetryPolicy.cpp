// When a failed request is tried again, and how long the program waits first.
#include "NdRetryPolicy.h"

#include <QNetworkReply>
#include <QtTest>

class TestNdRetryPolicy : public QObject
{
    Q_OBJECT
private slots:
    void rules_data();
    void rules();
};

void TestNdRetryPolicy::rules_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("retryAfter");
    QTest::addColumn<bool>("certificate");
    QTest::addColumn<int>("tried");
    QTest::addColumn<double>("jitter");
    QTest::addColumn<qint64>("waitMs"); // -1: not tried again
    const int unknownContent = QNetworkReply::UnknownContentError;
    const int unknownServer = QNetworkReply::UnknownServerError;
    const int unavailable = QNetworkReply::ServiceUnavailableError;
    // A busy or restarting server, waits of 1, 2, 4 and 8 s within ±25 %.
    QTest::newRow("503, first") << unavailable << 503 << QByteArray() << false << 1 << 0.0 << qint64(1000);
    QTest::newRow("429, second, late") << unknownContent << 429 << QByteArray() << false << 2 << 1.0 << qint64(2500);
    QTest::newRow("408, third, early") << unknownContent << 408 << QByteArray() << false << 3 << -1.0 << qint64(3000);
    QTest::newRow("425") << unknownContent << 425 << QByteArray() << false << 4 << 0.0 << qint64(8000);
    QTest::newRow("502") << unknownServer << 502 << QByteArray() << false << 1 << 0.5 << qint64(1125);
    QTest::newRow("504") << unknownServer << 504 << QByteArray() << false << 1 << 0.0 << qint64(1000);
    // What the server asks, up to a minute; a date from now.
    QTest::newRow("Retry-After in seconds")
        << unavailable << 503 << QByteArray("7") << false << 1 << 1.0 << qint64(7000);
    QTest::newRow("Retry-After beyond a minute")
        << unknownContent << 429 << QByteArray(" 3600") << false << 1 << 0.0 << qint64(60000);
    QTest::newRow("Retry-After as a date")
        << unavailable << 503 << QByteArray("Sun, 06 Dec 2026 12:00:30 GMT") << false << 2 << 0.0 << qint64(30000);
    QTest::newRow("Retry-After unreadable")
        << unavailable << 503 << QByteArray("soon") << false << 2 << 0.0 << qint64(2000);
    // The connection.
    QTest::newRow("reset or closed early")
        << int(QNetworkReply::RemoteHostClosedError) << 0 << QByteArray() << false << 1 << 0.0 << qint64(1000);
    QTest::newRow("refused") << int(QNetworkReply::ConnectionRefusedError) << 0 << QByteArray() << false << 1 << 0.0
                             << qint64(1000);
    QTest::newRow("stalled") << int(QNetworkReply::TimeoutError) << 0 << QByteArray() << false << 1 << 0.0
                             << qint64(1000);
    QTest::newRow("TLS, not the certificate")
        << int(QNetworkReply::SslHandshakeFailedError) << 0 << QByteArray() << false << 1 << 0.0 << qint64(1000);
    // For good, at once.
    QTest::newRow("TLS, the certificate")
        << int(QNetworkReply::SslHandshakeFailedError) << 0 << QByteArray() << true << 1 << 0.0 << qint64(-1);
    QTest::newRow("404") << int(QNetworkReply::ContentNotFoundError) << 404 << QByteArray() << false << 1 << 0.0
                         << qint64(-1);
    QTest::newRow("403 asking to wait") << int(QNetworkReply::ContentAccessDenied) << 403 << QByteArray("1") << false
                                        << 1 << 0.0 << qint64(-1);
    QTest::newRow("410") << unknownContent << 410 << QByteArray() << false << 1 << 0.0 << qint64(-1);
    QTest::newRow("redirect loop") << int(QNetworkReply::TooManyRedirectsError) << 0 << QByteArray() << false << 1
                                   << 0.0 << qint64(-1);
    QTest::newRow("refused scheme") << int(QNetworkReply::ProtocolUnknownError) << 0 << QByteArray() << false << 1
                                    << 0.0 << qint64(-1);
    QTest::newRow("too large") << NdHttpManager::kTooLargeError << 0 << QByteArray() << false << 1 << 0.0 << qint64(-1);
    QTest::newRow("the disk") << NdHttpManager::kLocalFileError << 0 << QByteArray() << false << 1 << 0.0 << qint64(-1);
    QTest::newRow("stopped") << int(QNetworkReply::OperationCanceledError) << 0 << QByteArray() << false << 1 << 0.0
                             << qint64(-1);
}

void TestNdRetryPolicy::rules()
{
    QFETCH(int, code);
    QFETCH(int, status);
    QFETCH(QByteArray, retryAfter);
    QFETCH(bool, certificate);
    QFETCH(int, tried);
    QFETCH(double, jitter);
    QFETCH(qint64, waitMs);
    const NdHttpFailure_t failure{code, status, retryAfter, certificate, QStringLiteral("failed")};
    QCOMPARE(NdRetryPolicy::IsTransient(failure), waitMs >= 0);
    const QDateTime now(QDate(2026, 12, 6), QTime(12, 0), Qt::UTC);
    if (waitMs >= 0)
        QCOMPARE(NdRetryPolicy::DelayMs(tried, failure, 1000, jitter, now), waitMs);
}

QTEST_GUILESS_MAIN(TestNdRetryPolicy)
#include "TestNdRetryPolicy.moc"
