#include "NdCore/NdLogManager.h"
#include "NdTestEnv.h"

#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

namespace {
// "[time][location][label]: message", each line of every log file.
const QRegularExpression kLine("^\\[\\d\\d:\\d\\d:\\d\\d\\.(\\d{3})\\]\\[([^\\]]*)\\]\\[([^\\]]*)\\]: (.*)$");

QStringList LogLines()
{
    return NdTestLogText(NdTestDataDir()).split('\n', Qt::SkipEmptyParts);
}

void Quiet(QtMsgType, const QMessageLogContext&, const QString&) { }
} // namespace

class TestNdLogManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { NdTestInitEnvironment(); }
    void init() { QDir(NdTestDataDir() + "/logs").removeRecursively(); }
    void cleanup() { NdLogManager::UnInstall(); }
    void lineFormat_data();
    void lineFormat();
    void logsOnlyWhileInstalled();
    void linesStayWholeAcrossThreads();
};

void TestNdLogManager::lineFormat_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("tag"); // the last folder and name right-aligned in 50 dots, the line, the label
    const QString dots(50, '.');
    QTest::newRow("error") << "a/b/c/File.cpp" << 100 << QString("value 7") << dots.left(40) + "c/File.cpp:7][ERROR";
    QTest::newRow("info, a format in the message")
        << "/home/dev/impl/NdX.cpp" << 200 << QString("%d%%") << dots.left(38) + "impl/NdX.cpp:7][INFO ";
    QTest::newRow("warn") << "/File.cpp" << 300 << QString() << dots.left(41) + "/File.cpp:7][WARN ";
    QTest::newRow("debug") << "File.cpp" << 400 << QString() << dots.left(42) + "File.cpp:7][DEBUG";
    QTest::newRow("message cut at 4095") << "d/F.cpp" << 100 << QString(5000, 'm')
                                         << dots.left(43) + "d/F.cpp:7][ERROR";
}

void TestNdLogManager::lineFormat()
{
    QFETCH(QString, file);
    QFETCH(int, level);
    QFETCH(QString, message);
    QFETCH(QString, tag);
    NdLogManager::Install();
    NdLogManager::Print(NdLogType(level), file.toUtf8().constData(), 7, "%s", message.toUtf8().constData());
    NdLogManager::Print(LogInfo, "d/F.cpp", 8, "%s", "next");
    NdLogManager::UnInstall();
    const QStringList lines = LogLines();
    QCOMPARE(lines.size(), 2);
    const QRegularExpressionMatch line = kLine.match(lines.first());
    QVERIFY2(line.hasMatch(), qPrintable(lines.first()));
    QCOMPARE(line.captured(2) + "][" + line.captured(3), tag);
    QCOMPARE(line.captured(4), message.left(4095 - line.capturedStart(4)));
    QCOMPARE(lines.first().size(), qMin(4095, line.capturedStart(4) + message.size()));
    QCOMPARE(kLine.match(lines.last()).captured(4), QString("next"));
}

void TestNdLogManager::logsOnlyWhileInstalled()
{
    NdLogManager::Print(LogError, "d/F.cpp", 1, "%s", "before");
    QVERIFY(!QDir(NdTestDataDir() + "/logs").exists());
    NdLogManager::Install();
    NdLogManager::Print(LogError, "d/F.cpp", 2, "%s", "one");
    NdLogManager::Install(); // a second install keeps the open file
    NdLogManager::Print(LogError, "d/F.cpp", 3, "%s", "two");
    NdLogManager::UnInstall();
    NdLogManager::Print(LogError, "d/F.cpp", 4, "%s", "after");
    const QStringList lines = LogLines();
    QCOMPARE(lines.size(), 2);
    QCOMPARE(kLine.match(lines.first()).captured(4) + kLine.match(lines.last()).captured(4), QString("onetwo"));
    QCOMPARE(QDir(NdTestDataDir() + "/logs").entryList(QDir::Files).size(), 1);
}

void TestNdLogManager::linesStayWholeAcrossThreads()
{
    // Threads print lines long enough to tear while the log is installed and uninstalled under
    // them, then through a steady stretch: every line is whole and none of the steady ones is lost.
    // The churn lasts over a second, so lines of every tenth of a second show a missing zero padding.
    const QtMessageHandler previous = qInstallMessageHandler(Quiet);
    std::atomic<int> phase{0}; // churn, steady, stop
    std::atomic<int> steadyLines{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &phase, &steadyLines] {
            for (int n = 0; phase < 2; ++n) {
                const bool steady = phase == 1;
                const std::string body(static_cast<size_t>(50 + (n * 37) % 2000), char('A' + t));
                NdLogManager::Print(LogWarn, "d/F.cpp", t, "%d %s", n, body.c_str());
                steadyLines += steady;
            }
        });
    }
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 1100) {
        NdLogManager::Install();
        NdLogManager::UnInstall();
    }
    NdLogManager::Install();
    phase = 1;
    QTRY_VERIFY_WITH_TIMEOUT(steadyLines > 1000, 10000);
    phase = 2;
    for (std::thread& thread : threads)
        thread.join();
    NdLogManager::UnInstall();
    qInstallMessageHandler(previous);

    QVERIFY(NdTestLogText(NdTestDataDir()).endsWith('\n') && LogLines().size() >= steadyLines);
    for (const QString& line : LogLines()) {
        const QRegularExpressionMatch parts = kLine.match(line);
        const int n = parts.captured(4).section(' ', 0, 0).toInt();
        const QChar letter('A' + parts.captured(2).section(':', 1).toInt());
        QVERIFY2(
            parts.captured(4).section(' ', 1) == QString(50 + (n * 37) % 2000, letter), qPrintable(line.left(200)));
    }
}

QTEST_GUILESS_MAIN(TestNdLogManager)
#include "TestNdLogManager.moc"
