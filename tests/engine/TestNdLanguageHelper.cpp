#include "NdLanguageHelper.h"

#include "NdTestEnv.h"

#include <QtTest>

// The helper is a process-wide singleton; every case loads the file it needs.
class TestNdLanguageHelper : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void emptyBeforeAnyFileIsLoaded();
    void keysMatchOnlyTheirOwnEntry_data();
    void keysMatchOnlyTheirOwnEntry();
    void valueEndsAtSecondQuote();
    void missingFileKeepsLoadedTexts();
    void shippedChineseFileHasEveryKey();

private:
    QTemporaryDir m_dir;
    QString WriteFile(const QByteArray& text);
    NdLanguageHelper* Strings() { return NdLanguageHelper::GetInstance(); }
};

void TestNdLanguageHelper::initTestCase()
{
    NdTestInitEnvironment();
    QVERIFY(m_dir.isValid());
}

QString TestNdLanguageHelper::WriteFile(const QByteArray& text)
{
    static int counter = 0;
    const QString path = m_dir.filePath(QStringLiteral("lang%1.ini").arg(++counter));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        return QString();
    return path;
}

void TestNdLanguageHelper::emptyBeforeAnyFileIsLoaded()
{
    NdLanguageHelper::Release();
    QVERIFY(Strings()->Str("NdDownloader.ProductName").isEmpty());
}

void TestNdLanguageHelper::keysMatchOnlyTheirOwnEntry_data()
{
    QTest::addColumn<QByteArray>("text");
    const QByteArray shortFirst = "NdDownloader.Size = \"S\"\nNdDownloader.SizeTip = \"T\"\n"
                                  "NdDownloader.Sure = \"OK\"\nNdDownloader.SureDeleteRecord = \"R\"\n"
                                  "NdDownloader.Delete = \"D\"\nNdDownloader.DeleteTask = \"DT\"\n";
    const QByteArray longFirst = "NdDownloader.SizeTip = \"T\"\nNdDownloader.Size = \"S\"\n"
                                 "NdDownloader.SureDeleteRecord = \"R\"\nNdDownloader.Sure = \"OK\"\n"
                                 "NdDownloader.DeleteTask = \"DT\"\nNdDownloader.Delete = \"D\"\n";
    QTest::newRow("short keys first") << shortFirst;
    QTest::newRow("long keys first") << longFirst;
    QTest::newRow("windows line ends") << QByteArray(longFirst).replace("\n", "\r\n");
    // A key text inside another line's value is not that key's entry.
    QTest::newRow("key inside a value") << QByteArray("NdDownloader.Other = \"see NdDownloader.Size = \"\n")
            + shortFirst;
}

void TestNdLanguageHelper::keysMatchOnlyTheirOwnEntry()
{
    QFETCH(QByteArray, text);
    Strings()->InitFromFile(WriteFile(text));
    QCOMPARE(Strings()->Str("NdDownloader.Size"), QStringLiteral("S"));
    QCOMPARE(Strings()->Str("NdDownloader.SizeTip"), QStringLiteral("T"));
    QCOMPARE(Strings()->Str("NdDownloader.Sure"), QStringLiteral("OK"));
    QCOMPARE(Strings()->Str("NdDownloader.SureDeleteRecord"), QStringLiteral("R"));
    QCOMPARE(Strings()->Str("NdDownloader.Delete"), QStringLiteral("D"));
    QCOMPARE(Strings()->Str("NdDownloader.DeleteTask"), QStringLiteral("DT"));
    QVERIFY(Strings()->Str("NdDownloader.Missing").isEmpty());
}

void TestNdLanguageHelper::valueEndsAtSecondQuote()
{
    Strings()->InitFromFile(WriteFile("NdDownloader.A = \"first\" \"second\"\n"
                                      "NdDownloader.NoQuotes = plain\n"
                                      "NdDownloader.Empty = \"\"\n"));
    QCOMPARE(Strings()->Str("NdDownloader.A"), QStringLiteral("first"));
    QVERIFY(Strings()->Str("NdDownloader.NoQuotes").isEmpty());
    QVERIFY(Strings()->Str("NdDownloader.Empty").isEmpty());
}

void TestNdLanguageHelper::missingFileKeepsLoadedTexts()
{
    Strings()->InitFromFile(WriteFile("NdDownloader.ProductName = \"Loaded\"\n"));
    QVERIFY(Strings()->Init("xx-NOPE"));
    QVERIFY(Strings()->InitFromFile(m_dir.filePath(QStringLiteral("absent.ini"))));
    QCOMPARE(Strings()->Str("NdDownloader.ProductName"), QStringLiteral("Loaded"));
}

void TestNdLanguageHelper::shippedChineseFileHasEveryKey()
{
    QVERIFY(Strings()->Init("zh-CN"));
    const char* keys[] = {"ProductName", "Offline", "Tutorials", "About", "CheckUpdate", "VideoName", "Size", "Status",
        "Operator", "SizeTip", "TaskEmpty", "MgrTable", "TechnicalSupport", "SureDeleteRecord", "DeletedTask",
        "MaxFileCount", "DirNotFound", "PauseDownload", "StartDownload", "OpenFileDir", "DeleteTask", "LineUping",
        "Paused", "Downloading", "DownloadFinished", "FailedAndRetry", "Transcoding", "PauseByInsufficientStorageSpace",
        "MissFile", "Cancel", "Sure", "ContinueAndTrayShow", "StopAndQuit", "Close.Downloading", "TestFileName",
        "ShutdownTips", "FileCount", "DownloadTo", "Browse", "SetDownloadPath", "NoFreeDiskSize", "NdVideo", "Sheng",
        "ChooseSaveFilePath", "NoWrite", "FindNewVersion", "NextUpdate", "UpdateNow", "LastVersion", "Updating",
        "EnterOfficialWebsite", "HelpCenter", "Copyright", "Delete", "DeleteLocalFile"};
    QCOMPARE(int(sizeof(keys) / sizeof(keys[0])), 55);
    const QSet<QString> filledByArg = {"TaskEmpty", "FileCount", "Sheng", "FindNewVersion", "Updating"};
    QSet<QString> texts;
    for (const char* name : keys) {
        const QByteArray key = QByteArray("NdDownloader.") + name;
        const QString text = Strings()->Str(key.constData());
        QVERIFY2(!text.isEmpty(), key.constData());
        QCOMPARE(text.contains(QLatin1String("%1")), filledByArg.contains(QString::fromLatin1(name)));
        texts.insert(text);
    }
    // Only the two finished states and the two name labels share their texts.
    QCOMPARE(texts.size(), 54);
}

QTEST_GUILESS_MAIN(TestNdLanguageHelper)
#include "TestNdLanguageHelper.moc"
