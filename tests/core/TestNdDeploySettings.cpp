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
    void shippedFileReachesNothing();
    void environmentsChooseTheirAddresses_data();
    void environmentsChooseTheirAddresses();
    void partialFileKeepsDefaultsAndResolvesCertificates();
    void transferTimeoutStaysUsable_data();
    void transferTimeoutStaysUsable();
    void unreadableFileChangesNothing_data();
    void unreadableFileChangesNothing();

private:
    QTemporaryDir m_dir;
    QString WriteFile(const QString& name, const QByteArray& text);
};

void TestNdDeploySettings::initTestCase()
{
    NdTestInitEnvironment();
    QVERIFY(m_dir.isValid());
}

QString TestNdDeploySettings::WriteFile(const QString& name, const QByteArray& text)
{
    const QString path = m_dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size())
        return QString();
    return path;
}

void TestNdDeploySettings::shippedFileReachesNothing()
{
    // The file that ships with the build must parse and must point at hosts on
    // the reserved .invalid domain only, so a development build never talks to a
    // real server by accident.
    QVERIFY(NdDeploySettings::LoadFile(NdDeploySettings::DefaultFilePath()));
    const NdDeploySettings settings = NdDeploySettings::Get();
    const QStringList urls = {settings.AdminBaseUrls[0], settings.AdminBaseUrls[1], settings.AdminBaseUrls[2],
        settings.ReportBaseUrl, settings.FallbackReportBaseUrl, settings.RefererBaseUrl, settings.TutorialUrl,
        settings.ManagementUrl, settings.WebsiteUrl, settings.HelpCenterUrl};
    for (const QString& url : urls) {
        const QUrl parsed(url);
        QVERIFY2(parsed.isValid() && parsed.host().endsWith(QLatin1String(".invalid")), qPrintable(url));
    }
    QVERIFY(settings.ProbeHost.endsWith(QLatin1String(".invalid")));
    QCOMPARE(settings.AppId.size(), 15);
    QCOMPARE(settings.TransferTimeoutMs, 30000);
    QVERIFY(settings.TrustedCertificates.isEmpty());
}

void TestNdDeploySettings::environmentsChooseTheirAddresses_data()
{
    QTest::addColumn<int>("environment");
    QTest::addColumn<QString>("admin");
    QTest::addColumn<QString>("report");
    QTest::newRow("production") << 0 << "https://a0/"
                                << "https://report/";
    QTest::newRow("internal test") << 1 << "https://a1/"
                                   << "https://10.0.0.1:1224/";
    QTest::newRow("test") << 2 << "https://a2/"
                          << "https://10.0.0.1:1224/";
    QTest::newRow("unknown is production") << 7 << "https://a0/"
                                           << "https://report/";
    QTest::newRow("negative is production") << -1 << "https://a0/"
                                            << "https://report/";
}

void TestNdDeploySettings::environmentsChooseTheirAddresses()
{
    QFETCH(int, environment);
    QFETCH(QString, admin);
    QFETCH(QString, report);
    NdDeploySettings settings;
    settings.AdminBaseUrls[0] = QStringLiteral("https://a0/");
    settings.AdminBaseUrls[1] = QStringLiteral("https://a1/");
    settings.AdminBaseUrls[2] = QStringLiteral("https://a2/");
    settings.ReportBaseUrl = QStringLiteral("https://report/");
    settings.FallbackReportBaseUrl = QStringLiteral("https://10.0.0.1:1224/");
    QCOMPARE(settings.AdminBaseUrl(environment), admin);
    QCOMPARE(settings.ReportBase(environment), report);
}

void TestNdDeploySettings::partialFileKeepsDefaultsAndResolvesCertificates()
{
    const NdTestCa& ca = NdTestCa::Instance();
    QVERIFY(ca.Ok);
    QVERIFY(QFile::copy(ca.CaCertPath, m_dir.filePath(QStringLiteral("ca.pem"))));
    const QString path = WriteFile(QStringLiteral("partial.json"), R"({
        // comments are allowed, as in every file the program reads
        "AdminBaseUrls": ["https://127.0.0.1:4443/"],
        "TransferTimeoutSeconds": 2.5,
        "TrustedCertificates": ["ca.pem", "missing.pem", 42]
    })");
    QVERIFY(NdDeploySettings::LoadFile(path));
    const NdDeploySettings settings = NdDeploySettings::Get();
    const NdDeploySettings defaults;
    QCOMPARE(settings.AdminBaseUrls[0], QStringLiteral("https://127.0.0.1:4443/"));
    QCOMPARE(settings.AdminBaseUrls[1], defaults.AdminBaseUrls[1]);
    QCOMPARE(settings.ReportBaseUrl, defaults.ReportBaseUrl);
    QCOMPARE(settings.AppId, defaults.AppId);
    QCOMPARE(settings.TransferTimeoutMs, 2500);
    QCOMPARE(settings.TrustedCertificates.size(), 1);
    QCOMPARE(settings.TrustedCertificates.first(), QSslCertificate::fromPath(ca.CaCertPath).first());
}

void TestNdDeploySettings::transferTimeoutStaysUsable_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<int>("expectedMs");
    QTest::newRow("seconds") << QByteArray("2.5") << 2500;
    QTest::newRow("huge is the longest, not none") << QByteArray("1e10") << INT_MAX;
    QTest::newRow("tiny is one millisecond") << QByteArray("0.0001") << 1;
    QTest::newRow("zero keeps the default") << QByteArray("0") << 30000;
    QTest::newRow("negative keeps the default") << QByteArray("-3") << 30000;
    QTest::newRow("text keeps the default") << QByteArray("\"5\"") << 30000;
}

void TestNdDeploySettings::transferTimeoutStaysUsable()
{
    QFETCH(QByteArray, value);
    QFETCH(int, expectedMs);
    const QString path = WriteFile(QStringLiteral("timeout.json"), "{\"TransferTimeoutSeconds\": " + value + "}");
    QVERIFY(NdDeploySettings::LoadFile(path));
    QCOMPARE(NdDeploySettings::Get().TransferTimeoutMs, expectedMs);
}

void TestNdDeploySettings::unreadableFileChangesNothing_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("missing file") << QByteArray();
    QTest::newRow("not json") << QByteArray("<html>oops</html>");
    QTest::newRow("array instead of object") << QByteArray("[1, 2]");
}

void TestNdDeploySettings::unreadableFileChangesNothing()
{
    QFETCH(QByteArray, text);
    NdDeploySettings known;
    known.AppId = QStringLiteral("known0000000000");
    NdDeploySettings::Set(known);
    const QString path
        = text.isEmpty() ? m_dir.filePath(QStringLiteral("absent.json")) : WriteFile(QStringLiteral("bad.json"), text);
    QString error;
    QVERIFY(!NdDeploySettings::LoadFile(path, &error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(NdDeploySettings::Get().AppId, known.AppId);
}

QTEST_GUILESS_MAIN(TestNdDeploySettings)
#include "TestNdDeploySettings.moc"
