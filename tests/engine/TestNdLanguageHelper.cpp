#include "NdEngineTestKit.h"
#include "NdLanguageHelper.h"

#include <QtTest>

// The helper is a process-wide singleton; every case loads the file it needs.
class TestNdLanguageHelper : public QObject
{
    Q_OBJECT

private slots:
    void lookup_data();
    void lookup();
    void filesThatCannotBeReadKeepTheLoadedTexts();

private:
    QTemporaryDir m_dir;
};

void TestNdLanguageHelper::lookup_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("lookup"); // key=value found
    const QByteArray shortFirst = "NdDownloader.Size = \"S\"\nNdDownloader.SizeTip = \"T\"\n";
    const QByteArray longFirst = "NdDownloader.SizeTip = \"T\"\nNdDownloader.Size = \"S\"\n";
    QTest::newRow("long key, short first") << shortFirst << "SizeTip=T";
    QTest::newRow("short key, long first") << longFirst << "Size=S";
    QTest::newRow("windows line ends") << QByteArray(longFirst).replace("\n", "\r\n") << "Size=S";
    QTest::newRow("key inside another value") << "NdDownloader.X = \"NdDownloader.Size = \"\n" + shortFirst << "Size=S";
    QTest::newRow("missing key") << shortFirst << "Missing=";
}

void TestNdLanguageHelper::lookup()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, lookup);
    const QString path = m_dir.filePath(QStringLiteral("lang.ini"));
    QVERIFY(NdWriteFile(path, text) && NdLanguageHelper::GetInstance()->InitFromFile(path));
    const QByteArray key = "NdDownloader." + lookup.section('=', 0, 0).toUtf8();
    QCOMPARE(NdLanguageHelper::GetInstance()->Str(key.constData()), lookup.section('=', 1));
}

void TestNdLanguageHelper::filesThatCannotBeReadKeepTheLoadedTexts()
{
    NdLanguageHelper::Release();
    NdLanguageHelper* strings = NdLanguageHelper::GetInstance();
    // The shipped file lies in the resources beside the program.
    QVERIFY(strings->Init("zh-CN"));
    const QString shipped = strings->Str("NdDownloader.ProductName");
    QVERIFY(!shipped.isEmpty());
    QVERIFY(strings->Init("xx-NOPE"));
    QVERIFY(strings->InitFromFile(m_dir.filePath(QStringLiteral("absent.ini"))));
    QCOMPARE(strings->Str("NdDownloader.ProductName"), shipped);
}

QTEST_GUILESS_MAIN(TestNdLanguageHelper)
#include "TestNdLanguageHelper.moc"
