#include "NdCore/NdDeploySettings.h"
#include "NdTestEnv.h"
#include "NdTestHttpServer.h"

#include <QtTest>

#include <climits>

class TestNdDeploySettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void fileValues_data();
    void fileValues();

private:
    QTemporaryDir Dir;
};

void TestNdDeploySettings::initTestCase()
{
    NdTestInitEnvironment();
    QVERIFY(Dir.isValid() && NdTestCa::Instance().Ok);
    QVERIFY(QFile::copy(NdTestCa::Instance().CaCertPath, Dir.filePath("ca.pem")));
}

void TestNdDeploySettings::fileValues_data()
{
    QTest::addColumn<QByteArray>("text"); // empty: no file at all
    QTest::addColumn<bool>("loaded");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<QString>("refused"); // the members a loaded file's error names
    QTest::newRow("comments, seconds") << QByteArray("/* c */ {\"TransferTimeoutSeconds\": 2.5}") << true << 2500 << "";
    QTest::newRow("huge is the longest") << QByteArray("{\"TransferTimeoutSeconds\": 1e10}") << true << INT_MAX << "";
    QTest::newRow("tiny is one ms") << QByteArray("{\"TransferTimeoutSeconds\": 0.0001}") << true << 1 << "";
    QTest::newRow("zero is refused") << QByteArray("{\"TransferTimeoutSeconds\": 0}") << true << 30000
                                     << "TransferTimeoutSeconds";
    QTest::newRow("a host name") << QByteArray("{\"ProbeHost\": \"probe-1.test.\"}") << true << 30000 << "";
    QTest::newRow("an option is no host") << QByteArray("{\"ProbeHost\": \"-x\"}") << true << 30000 << "ProbeHost";
    QTest::newRow("a blank is no host, a number no id")
        << QByteArray("{\"ProbeHost\": \"h -f\", \"AppId\": 5}") << true << 30000 << "AppId, ProbeHost";
    QTest::newRow("missing file") << QByteArray() << false << 1234 << "";
    QTest::newRow("not json") << QByteArray("<html>oops</html>") << false << 1234 << "";
    QTest::newRow("array instead of object") << QByteArray("[1, 2]") << false << 1234 << "";
}

void TestNdDeploySettings::fileValues()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, loaded);
    QFETCH(int, timeoutMs);
    QFETCH(QString, refused);
    NdDeploySettings known;
    known.TransferTimeoutMs = 1234;
    NdDeploySettings::Set(known);
    // Members missing from the file keep their defaults; certificates are read relative to it,
    // where they can be read.
    const QString path = Dir.filePath(text.isEmpty() ? "none.json" : "deploy.json");
    QVERIFY(text.isEmpty()
        || NdWriteFile(path,
            text.replace("{",
                "{\"AdminBaseUrls\": [\"https://127.0.0.1/\"], \"TrustedCertificates\": [\"ca.pem\", \"none.pem\", "
                "42], ")));
    QString error;
    QCOMPARE(NdDeploySettings::LoadFile(path, &error), loaded);
    const NdDeploySettings settings = NdDeploySettings::Get();
    QCOMPARE(error.isEmpty(), loaded && refused.isEmpty());
    QVERIFY(refused.isEmpty() || error.endsWith(refused));
    // A probe host named in the file is taken unless refused.
    QCOMPARE(settings.ProbeHost != known.ProbeHost, text.contains("ProbeHost") && refused.isEmpty());
    QCOMPARE(settings.TransferTimeoutMs, timeoutMs);
    QCOMPARE(settings.AdminBaseUrl(0), loaded ? "https://127.0.0.1/" : known.AdminBaseUrl(0));
    QCOMPARE(settings.AdminBaseUrl(2), known.AdminBaseUrl(2));
    QCOMPARE(settings.TrustedCertificates,
        loaded ? QSslCertificate::fromPath(Dir.filePath("ca.pem")) : QList<QSslCertificate>());
}

QTEST_GUILESS_MAIN(TestNdDeploySettings)
#include "TestNdDeploySettings.moc"
