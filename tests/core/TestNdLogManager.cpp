#include "NdCore/NdLogManager.h"
#include "NdTestEnv.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QtTest>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {
struct LogLine_t
{
    bool Valid = false;
    QString Time;
    QString Location;
    QString Label;
    QString Message;
};

LogLine_t ParseLine(const QString& text)
{
    static const QRegularExpression pattern(QStringLiteral("^\\[([^\\]]*)\\]\\[([^\\]]*)\\]\\[([^\\]]*)\\]: (.*)$"));
    const QRegularExpressionMatch match = pattern.match(text);
    LogLine_t line;
    if (!match.hasMatch())
        return line;
    line.Valid = true;
    line.Time = match.captured(1);
    line.Location = match.captured(2);
    line.Label = match.captured(3);
    line.Message = match.captured(4);
    return line;
}

QString LogDir()
{
    return NdTestDataDir() + QStringLiteral("/logs");
}

QStringList LogFileNames()
{
    return QDir(LogDir()).entryList(QDir::Files, QDir::Name);
}

// The lines of a log file; a file that does not end with a newline fails the check.
QStringList ReadLines(const QString& fileName, bool* endsWithNewline = nullptr)
{
    QFile file(LogDir() + "/" + fileName);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    if (endsWithNewline)
        *endsWithNewline = bytes.isEmpty() || bytes.endsWith('\n');
    QStringList lines = QString::fromUtf8(bytes).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

qint64 TotalLogSize()
{
    qint64 size = 0;
    for (const QString& name : LogFileNames())
        size += QFileInfo(LogDir() + "/" + name).size();
    return size;
}

QStringList ReadOnlyLogFile()
{
    const QStringList names = LogFileNames();
    if (names.size() != 1)
        return {QStringLiteral("<expected one log file, found %1>").arg(names.size())};
    return ReadLines(names.first());
}

QMutex g_capturedLock;
QStringList g_captured;

void CaptureMessage(QtMsgType, const QMessageLogContext&, const QString& message)
{
    QMutexLocker locker(&g_capturedLock);
    g_captured << message;
}

void DropMessage(QtMsgType, const QMessageLogContext&, const QString&) { }

// Silences or captures the debug echo while many lines are written.
class ScopedMessageHandler
{
public:
    explicit ScopedMessageHandler(QtMessageHandler handler) : m_previous(qInstallMessageHandler(handler)) { }
    ~ScopedMessageHandler() { qInstallMessageHandler(m_previous); }

private:
    QtMessageHandler m_previous;
};

QString Dots(int count)
{
    return QString(count, QLatin1Char('.'));
}
} // namespace

class TestNdLogManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void fileIsNamedAfterInstallTime();
    void reinstallInSameSecondEmptiesFile();
    void locationIsLastDirectoryAndName_data();
    void locationIsLastDirectoryAndName();
    void levelLabels_data();
    void levelLabels();
    void longLineIsCutAt4095();
    void millisecondsHaveThreeDigits();
    void printOutsideInstallWritesNothing();
    void secondInstallKeepsLogging();
    void linesFromEightThreadsStayWhole();
    void installAndUnInstallWhileThreadsPrint();
    void lineIsEchoedToDebugOutput();
    void currentDateTimeString();
};

void TestNdLogManager::initTestCase()
{
    NdTestInitEnvironment();
}

void TestNdLogManager::init()
{
    NdLogManager::UnInstall();
    QDir(LogDir()).removeRecursively();
}

void TestNdLogManager::cleanup()
{
    NdLogManager::UnInstall();
}

void TestNdLogManager::fileIsNamedAfterInstallTime()
{
    const QDateTime before = QDateTime::currentDateTime().addMSecs(-1000);
    NdLogManager::Install();
    const QDateTime after = QDateTime::currentDateTime();
    NdLogManager::UnInstall();

    const QStringList names = LogFileNames();
    QCOMPARE(names.size(), 1);
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}(-\\d{2}){5}\\.log$")).match(names.first()).hasMatch(),
        qPrintable(names.first()));
    const QDateTime named = QDateTime::fromString(names.first(), QStringLiteral("yyyy-MM-dd-hh-mm-ss'.log'"));
    QVERIFY(named.isValid());
    QVERIFY2(named >= before && named <= after, qPrintable(names.first()));
    QVERIFY(ReadLines(names.first()).isEmpty());
}

void TestNdLogManager::reinstallInSameSecondEmptiesFile()
{
    // Start early in a second so both installs fall into it.
    QTRY_VERIFY_WITH_TIMEOUT(QTime::currentTime().msec() < 300, 2000);
    NdLogManager::Install();
    NdLogManager::Print(LogInfo, "d/F.cpp", 1, "%s", "first run");
    NdLogManager::UnInstall();
    NdLogManager::Install();
    NdLogManager::Print(LogInfo, "d/F.cpp", 2, "%s", "second run");
    NdLogManager::UnInstall();
    if (LogFileNames().size() != 1)
        QSKIP("the two installs fell into different seconds");
    const QStringList lines = ReadOnlyLogFile();
    QCOMPARE(lines.size(), 1);
    QCOMPARE(ParseLine(lines.first()).Message, QStringLiteral("second run"));
}

void TestNdLogManager::locationIsLastDirectoryAndName_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("location");

    QTest::newRow("deep path") << "a/b/c/File.cpp" << 266 << Dots(40) + "c/File.cpp:266";
    QTest::newRow("absolute path") << "/home/dev/NdDownloader/core/NdCore/impl/NdX.cpp" << 12
                                   << Dots(38) + "impl/NdX.cpp:12";
    QTest::newRow("one leading slash") << "/File.cpp" << 1 << Dots(41) + "/File.cpp:1";
    QTest::newRow("one directory") << "c/File.cpp" << 5 << Dots(40) + "c/File.cpp:5";
    QTest::newRow("no slash") << "File.cpp" << 7 << Dots(42) + "File.cpp:7";
    const QString exactly50 = "dir/" + QString(42, 'n') + ".cpp";
    QTest::newRow("exactly 50") << "/x/" + exactly50 << 3 << exactly50 + ":3";
    const QString longer = QString(30, 'd') + "/" + QString(40, 'f') + ".cpp";
    QTest::newRow("longer than 50 is not cut") << "/x/y/" + longer << 9 << longer + ":9";
}

void TestNdLogManager::locationIsLastDirectoryAndName()
{
    QFETCH(QString, file);
    QFETCH(int, line);
    QFETCH(QString, location);

    NdLogManager::Install();
    NdLogManager::Print(LogInfo, file.toUtf8().constData(), line, "%s", "message");
    NdLogManager::UnInstall();

    const QStringList lines = ReadOnlyLogFile();
    QCOMPARE(lines.size(), 1);
    const LogLine_t parsed = ParseLine(lines.first());
    QVERIFY2(parsed.Valid, qPrintable(lines.first()));
    QCOMPARE(parsed.Location, location);
    QCOMPARE(parsed.Message, QStringLiteral("message"));
}

void TestNdLogManager::levelLabels_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("label");

    QTest::newRow("error") << 100 << "ERROR";
    QTest::newRow("info") << 200 << "INFO ";
    QTest::newRow("warn") << 300 << "WARN ";
    QTest::newRow("debug") << 400 << "DEBUG";
    QTest::newRow("unknown level") << 250 << "";
}

void TestNdLogManager::levelLabels()
{
    QFETCH(int, level);
    QFETCH(QString, label);

    NdLogManager::Install();
    NdLogManager::Print(static_cast<NdLogType>(level), "/src/Dir/File.cpp", 42, "value %d of %s", 7, "seven");
    NdLogManager::UnInstall();

    const QStringList lines = ReadOnlyLogFile();
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().contains("][" + label + "]: value 7 of seven"), qPrintable(lines.first()));
    QCOMPARE(ParseLine(lines.first()).Label, label);
}

void TestNdLogManager::longLineIsCutAt4095()
{
    std::string message;
    for (int i = 0; i < 5000; ++i)
        message += static_cast<char>('a' + i % 26);

    NdLogManager::Install();
    NdLogManager::Print(LogDebug, "/src/Dir/File.cpp", 1, "%s", message.c_str());
    NdLogManager::Print(LogDebug, "/src/Dir/File.cpp", 2, "%s", "next");
    NdLogManager::UnInstall();

    const QStringList lines = ReadOnlyLogFile();
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.first().size(), 4095);
    const LogLine_t parsed = ParseLine(lines.first());
    QVERIFY(parsed.Valid);
    const QString expected = QString::fromStdString(message);
    QCOMPARE(parsed.Message, expected.left(parsed.Message.size()));
    QVERIFY(parsed.Message.size() < 4095);
    QCOMPARE(ParseLine(lines.last()).Message, QStringLiteral("next"));
}

void TestNdLogManager::millisecondsHaveThreeDigits()
{
    // Print lines in the first milliseconds of a second, where a missing zero padding shows;
    // the line whose call began and ended within those 10 ms must read ".00x".
    int earlyCandidate = -1;
    NdLogManager::Install();
    {
        ScopedMessageHandler quiet(DropMessage);
        QElapsedTimer timer;
        timer.start();
        for (int candidate = 0; earlyCandidate < 0 && timer.elapsed() < 5000;) {
            const qint64 before = QDateTime::currentMSecsSinceEpoch();
            if (before % 1000 >= 5)
                continue;
            NdLogManager::Print(LogInfo, "d/F.cpp", 1, "candidate %d", candidate);
            const qint64 after = QDateTime::currentMSecsSinceEpoch();
            if (after / 1000 == before / 1000 && after % 1000 < 10)
                earlyCandidate = candidate;
            ++candidate;
        }
    }
    NdLogManager::UnInstall();
    QVERIFY(earlyCandidate >= 0);

    const QStringList lines = ReadOnlyLogFile();
    QVERIFY(!lines.isEmpty());
    static const QRegularExpression timePattern(QStringLiteral("\\d\\d:\\d\\d:\\d\\d.*\\.(\\d{3})$"));
    bool sawEarly = false;
    for (const QString& line : lines) {
        const LogLine_t parsed = ParseLine(line);
        const QRegularExpressionMatch match = timePattern.match(parsed.Time);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        if (parsed.Message == QStringLiteral("candidate %1").arg(earlyCandidate)) {
            QVERIFY2(match.captured(1).startsWith("00"), qPrintable(line));
            sawEarly = true;
        }
    }
    QVERIFY(sawEarly);
}

void TestNdLogManager::printOutsideInstallWritesNothing()
{
    NdLogManager::Print(LogError, "d/F.cpp", 1, "%s", "before install");
    QVERIFY(LogFileNames().isEmpty());

    NdLogManager::Install();
    NdLogManager::Print(LogError, "d/F.cpp", 2, "%s", "installed");
    NdLogManager::UnInstall();
    NdLogManager::Print(LogError, "d/F.cpp", 3, "%s", "after uninstall");
    NdLogManager::UnInstall();

    const QStringList lines = ReadOnlyLogFile();
    QCOMPARE(lines.size(), 1);
    QCOMPARE(ParseLine(lines.first()).Message, QStringLiteral("installed"));
}

void TestNdLogManager::secondInstallKeepsLogging()
{
    NdLogManager::Install();
    NdLogManager::Print(LogInfo, "d/F.cpp", 1, "%s", "one");
    NdLogManager::Install();
    NdLogManager::Print(LogInfo, "d/F.cpp", 2, "%s", "two");
    NdLogManager::UnInstall();

    const QStringList lines = ReadOnlyLogFile();
    QCOMPARE(lines.size(), 2);
    QCOMPARE(ParseLine(lines.last()).Message, QStringLiteral("two"));
}

void TestNdLogManager::linesFromEightThreadsStayWhole()
{
    const int threadCount = 8;
    const int linesPerThread = 250;
    NdLogManager::Install();
    {
        ScopedMessageHandler quiet(DropMessage);
        std::vector<std::thread> threads;
        for (int t = 0; t < threadCount; ++t) {
            threads.emplace_back([t]() {
                for (int n = 0; n < linesPerThread; ++n) {
                    // Lines of up to ~2 KB, large enough to tear if writes overlapped.
                    const std::string body(static_cast<size_t>(50 + (n * 37) % 2000), static_cast<char>('A' + t));
                    NdLogManager::Print(LogInfo, "/src/Engine/NdTask.cpp", t, "T%d N%d %s", t, n, body.c_str());
                }
            });
        }
        for (std::thread& thread : threads)
            thread.join();
    }
    NdLogManager::UnInstall();

    bool endsWithNewline = false;
    const QStringList names = LogFileNames();
    QCOMPARE(names.size(), 1);
    const QStringList lines = ReadLines(names.first(), &endsWithNewline);
    QVERIFY(endsWithNewline);
    QCOMPARE(lines.size(), threadCount * linesPerThread);
    static const QRegularExpression messagePattern(QStringLiteral("^T(\\d) N(\\d+) ([A-Z]+)$"));
    std::vector<int> nextPerThread(threadCount, 0);
    for (const QString& line : lines) {
        const LogLine_t parsed = ParseLine(line);
        QVERIFY2(parsed.Valid, qPrintable(line.left(200)));
        const QRegularExpressionMatch match = messagePattern.match(parsed.Message);
        QVERIFY2(match.hasMatch(), qPrintable(line.left(200)));
        const int t = match.captured(1).toInt();
        const int n = match.captured(2).toInt();
        QVERIFY(t < threadCount);
        QCOMPARE(n, nextPerThread[t]++);
        QCOMPARE(match.captured(3), QString(50 + (n * 37) % 2000, QLatin1Char('A' + t)));
        QCOMPARE(parsed.Location, Dots(33) + "Engine/NdTask.cpp:" + QString::number(t));
    }
}

void TestNdLogManager::installAndUnInstallWhileThreadsPrint()
{
    std::atomic<bool> stop{false};
    {
        ScopedMessageHandler quiet(DropMessage);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&stop, t]() {
                for (int n = 0; !stop.load(); ++n)
                    NdLogManager::Print(LogWarn, "d/F.cpp", t, "thread %d line %d", t, n);
            });
        }
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 600) {
            NdLogManager::Install();
            QThread::msleep(2);
            NdLogManager::UnInstall();
        }
        // End installed until some line has landed, so the check below always has lines to read.
        NdLogManager::Install();
        while (TotalLogSize() == 0 && timer.elapsed() < 10000)
            QThread::msleep(5);
        NdLogManager::UnInstall();
        stop = true;
        for (std::thread& thread : threads)
            thread.join();
    }

    const QStringList names = LogFileNames();
    QVERIFY(!names.isEmpty());
    static const QRegularExpression messagePattern(QStringLiteral("^thread \\d line \\d+$"));
    for (const QString& name : names) {
        bool endsWithNewline = false;
        for (const QString& line : ReadLines(name, &endsWithNewline)) {
            const LogLine_t parsed = ParseLine(line);
            QVERIFY2(parsed.Valid && messagePattern.match(parsed.Message).hasMatch(), qPrintable(line));
        }
        QVERIFY(endsWithNewline);
    }
    const qint64 totalSize = TotalLogSize();
    QVERIFY(totalSize > 0);

    NdLogManager::Print(LogWarn, "d/F.cpp", 1, "%s", "after the last uninstall");
    QCOMPARE(TotalLogSize(), totalSize);
}

void TestNdLogManager::lineIsEchoedToDebugOutput()
{
    NdLogManager::Install();
    {
        QMutexLocker locker(&g_capturedLock);
        g_captured.clear();
    }
    {
        ScopedMessageHandler capture(CaptureMessage);
        NdLogManager::Print(LogWarn, "/src/Dir/F.cpp", 9, "%s", "echo me");
    }
    NdLogManager::UnInstall();

    const QStringList lines = ReadOnlyLogFile();
    QCOMPARE(lines.size(), 1);
    QMutexLocker locker(&g_capturedLock);
    const QString echoed = g_captured.join('\n');
    QVERIFY2(echoed.contains("log: " + lines.first()), qPrintable(echoed));
    QVERIFY(echoed.contains("level: 300"));
    QVERIFY(echoed.contains("pszFileName: /src/Dir/F.cpp"));
    QVERIFY(echoed.contains("nLineNo: 9"));
    QVERIFY(echoed.contains("pszMessage: echo me"));
}

void TestNdLogManager::currentDateTimeString()
{
    const QString before = QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
    const QString text = QString::fromStdString(NdCommHelper::CurrentDateTimeString());
    const QString after = QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
    QVERIFY2(text.startsWith(before + ", ") || text.startsWith(after + ", "), qPrintable(text));
    QVERIFY2(text.contains(QRegularExpression(QStringLiteral("\\d\\d:\\d\\d:\\d\\d"))), qPrintable(text));
}

QTEST_GUILESS_MAIN(TestNdLogManager)
#include "TestNdLogManager.moc"
