#include "NdEngineTestKit.h"
#include "NdLanguageHelper.h"

#include <QRegularExpression>
#include <QtTest>

namespace {

// Per entry of a shipped language file, in file order: its key, whether the
// helper reads a text for it, and the placeholders of that text.
QStringList ShippedEntries(const char* language)
{
    NdLanguageHelper* strings = NdLanguageHelper::GetInstance();
    strings->Init(language);
    QStringList entries;
    const QString file = QString::fromUtf8(NdReadFile(NdLanguageHelper::FilePath(language)));
    for (const QString& line : file.split('\n', Qt::SkipEmptyParts)) {
        const QString key = line.section(" = ", 0, 0);
        const QString text = strings->Str(key.toUtf8().constData());
        QStringList placeholders;
        for (auto it = QRegularExpression("%\\d").globalMatch(text); it.hasNext();)
            placeholders << it.next().captured();
        placeholders.sort();
        entries << key + (text.isEmpty() ? " (no text) " : " ") + placeholders.join(' ');
    }
    return entries;
}

} // namespace

// The helper is a process-wide singleton; every case loads the file it needs.
class TestNdLanguageHelper : public QObject
{
    Q_OBJECT

private slots:
    void lookup_data();
    void lookup();
    void shippedLanguagesAndMissingFiles();
    void languageOfTheDesktop_data();
    void languageOfTheDesktop();

private:
    QTemporaryDir Dir;
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
    const QString path = Dir.filePath(QStringLiteral("lang.ini"));
    QVERIFY(NdWriteFile(path, text) && NdLanguageHelper::GetInstance()->InitFromFile(path));
    const QByteArray key = "NdDownloader." + lookup.section('=', 0, 0).toUtf8();
    QCOMPARE(NdLanguageHelper::GetInstance()->Str(key.constData()), lookup.section('=', 1));
}

// Every shipped language has every key of the first one, in its order, each
// with a text and the same placeholders. A file that cannot be read keeps the
// texts loaded before, so a language whose file is missing speaks the first.
void TestNdLanguageHelper::shippedLanguagesAndMissingFiles()
{
    const QStringList first = ShippedEntries(NdLanguageHelper::kFirstLanguage);
    QVERIFY(first.size() > 60 && !first.join('\n').contains("(no text)"));
    QCOMPARE(ShippedEntries("en-US"), first);
    NdLanguageHelper* strings = NdLanguageHelper::GetInstance();
    const QString english = strings->Str("NdDownloader.ProductName");
    QVERIFY(strings->Init("xx-NOPE") && strings->InitFromFile(Dir.filePath(QStringLiteral("absent.ini"))));
    QCOMPARE(strings->Str("NdDownloader.ProductName"), english);
}

void TestNdLanguageHelper::languageOfTheDesktop_data()
{
    QTest::addColumn<QString>("localeAndLanguage");
    for (const char* row : {"zh_CN=zh-CN", "zh_TW=zh-CN", "en_US=en-US", "de_DE=en-US", "C=zh-CN", "xx_YY=zh-CN"})
        QTest::newRow(row) << QString::fromLatin1(row);
}

void TestNdLanguageHelper::languageOfTheDesktop()
{
    QFETCH(QString, localeAndLanguage);
    const QLocale locale(localeAndLanguage.section('=', 0, 0));
    QCOMPARE(QString::fromLatin1(NdLanguageHelper::LanguageFor(locale)), localeAndLanguage.section('=', 1));
}

QTEST_GUILESS_MAIN(TestNdLanguageHelper)
#include "TestNdLanguageHelper.moc"
