// The real NdDownloader binary as processes: a copy of the bundle whose
// deployment file points at the sample platform, each start with its own data
// folder, all of them sharing one temporary folder (where the single-instance
// segment and the local socket live), on the offscreen platform.
#include "NdProgramBundle.h"
#include "NdSamplePlatformProcess.h"
#include "NdTestEnv.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

namespace {
const int kStartMs = 20000;
} // namespace

class TestNdProgram : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void secondStartHandsItsUrlOver();
    void killedInstanceDoesNotLockOut();
    void unusableDataFolderEndsStartUp();
    void mandatoryUpdateRunsWithoutTheMainWindow();

private:
    // Starts the program with its own data folder `data`.
    QProcess* Launch(const QString& data, const QStringList& arguments = {});
    QString LogText(const QString& data) const;
    bool WaitForLog(const QString& data, int timeoutMs) const;

    NdSamplePlatformProcess m_platform;
    NdProgramBundle m_bundle;
    std::unique_ptr<QTemporaryDir> m_home;
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

void TestNdProgram::initTestCase()
{
    QVERIFY2(m_platform.Start(), qPrintable(m_platform.ErrorString()));
    QVERIFY(m_bundle.Create(m_platform.DeployFilePath()));
}

void TestNdProgram::init()
{
    m_home = std::make_unique<QTemporaryDir>();
    QVERIFY(m_home->isValid());
    QVERIFY(m_platform.Reset());
}

void TestNdProgram::cleanup()
{
    for (const std::unique_ptr<QProcess>& process : m_processes) {
        process->terminate();
        if (!process->waitForFinished(10000)) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
    m_processes.clear();
}

QProcess* TestNdProgram::Launch(const QString& data, const QStringList& arguments)
{
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(NdProgramBundle::Environment(m_home->path(), data));
    process->setProgram(m_bundle.ProgramPath());
    process->setArguments(arguments);
    process->start();
    m_processes.push_back(std::move(process));
    return m_processes.back().get();
}

QString TestNdProgram::LogText(const QString& data) const
{
    return NdTestLogText(NdProgramBundle::DataFolder(m_home->path(), data));
}

// The log file is made after the instance holds the segment and listens.
bool TestNdProgram::WaitForLog(const QString& data, int timeoutMs) const
{
    const QDir logs(NdProgramBundle::DataFolder(m_home->path(), data) + QStringLiteral("/logs"));
    QDeadlineTimer deadline(timeoutMs);
    while (logs.entryList({"*.log"}, QDir::Files).isEmpty() && !deadline.hasExpired())
        QTest::qWait(50);
    return !logs.entryList({"*.log"}, QDir::Files).isEmpty();
}

void TestNdProgram::secondStartHandsItsUrlOver()
{
    QProcess* first = Launch(QStringLiteral("first"));
    QVERIFY(WaitForLog(QStringLiteral("first"), kStartMs));

    QProcess* second = Launch(QStringLiteral("second"), {"nddownloader://nadioDownLoader-token-SeCrEt+ToKeN="});
    QVERIFY(second->waitForFinished(kStartMs));
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);
    QVERIFY(LogText(QStringLiteral("second")).isEmpty());

    QTRY_COMPARE_WITH_TIMEOUT(m_platform.TokensQueried(), QStringList{"SeCrEt+ToKeN="}, 10000);
    const QString log = LogText(QStringLiteral("first"));
    QVERIFY2(log.contains(QStringLiteral("onGetNewTask,urlParam:nadioDownLoader-token-SeCr…")), qPrintable(log));
    QVERIFY(!log.contains(QStringLiteral("SeCrEt+")));

    // Without a URL a second start just ends.
    QProcess* third = Launch(QStringLiteral("third"));
    QVERIFY(third->waitForFinished(kStartMs));
    QCOMPARE(third->exitCode(), 0);
    QCOMPARE(first->state(), QProcess::Running);
}

void TestNdProgram::killedInstanceDoesNotLockOut()
{
    QProcess* killed = Launch(QStringLiteral("killed"));
    QVERIFY(WaitForLog(QStringLiteral("killed"), kStartMs));
    killed->kill();
    QVERIFY(killed->waitForFinished(5000));

    // Its segment and its socket are still there; the next start takes over both.
    QProcess* next = Launch(QStringLiteral("next"));
    QVERIFY(WaitForLog(QStringLiteral("next"), kStartMs));
    QProcess* request = Launch(QStringLiteral("request"), {"nddownloader:///nadioDownLoader-token-after-kill"});
    QVERIFY(request->waitForFinished(kStartMs));
    QCOMPARE(request->exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(m_platform.TokensQueried(), QStringList{"after-kill"}, 10000);
    QTRY_VERIFY(LogText(QStringLiteral("next")).contains(QStringLiteral("nadioDownLoader-token-afte…")));
    QCOMPARE(next->state(), QProcess::Running);

    // SIGTERM ends it in order, segment released.
    next->terminate();
    QVERIFY(next->waitForFinished(10000));
    QCOMPARE(next->exitStatus(), QProcess::NormalExit);
    QCOMPARE(next->exitCode(), 0);
}

void TestNdProgram::unusableDataFolderEndsStartUp()
{
    // A data folder below a regular file cannot be made, not even by root.
    QFile blocker(m_home->path() + QStringLiteral("/blocked"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QProcess* process = Launch(QStringLiteral("blocked/below-a-file"));
    QVERIFY(process->waitForFinished(kStartMs));
    QCOMPARE(process->exitStatus(), QProcess::NormalExit);
    QCOMPARE(process->exitCode(), 1);
    QVERIFY(
        process->readAllStandardError().contains("Failed to initialize basic settings, please restart the program."));
}

// Only the update dialog runs: a stored waiting task, which the main window
// would queue at once, asks the platform for nothing. Closing the dialog (here
// through the session's SIGTERM) ends the program with 0.
void TestNdProgram::mandatoryUpdateRunsWithoutTheMainWindow()
{
    QVERIFY(m_platform.SetVersion(R"({"code":0,"data":{"version":"9.9.9","msg":"m","download_url":")"
        + m_platform.BaseUrl().toUtf8() + R"(/installer/NdDownloader.dmg","must_update":1}})"));
    const QString data = NdProgramBundle::DataFolder(m_home->path(), QStringLiteral("update"));
    QVERIFY(QDir().mkpath(data) && QDir().mkpath(m_home->path() + QStringLiteral("/w")));
    QFile store(data + QStringLiteral("/NdDownloadTasks.bin"));
    QVERIFY(store.open(QIODevice::WriteOnly));
    const QString lesson = m_platform.LessonUrl(QStringLiteral("plain"));
    store.write(QStringLiteral(R"([{"VideoM3U8Url":"%1","VideoName":"queued","VideoTempPath":"%2/w",)"
                               R"("VideoDownloadPath":"%2","VideoState":0}])")
                    .arg(lesson, m_home->path())
                    .toUtf8());
    store.close();

    QProcess* process = Launch(QStringLiteral("update"));
    QTRY_VERIFY_WITH_TIMEOUT(
        LogText(QStringLiteral("update")).contains(QStringLiteral("mandatory update to 9.9.9")), kStartMs);
    process->terminate();
    QVERIFY(process->waitForFinished(10000));
    QCOMPARE(process->exitStatus(), QProcess::NormalExit);
    QCOMPARE(process->exitCode(), 0);
    for (const QJsonValue& request : m_platform.Requests())
        QVERIFY(!request.toObject().value("path").toString().startsWith(QLatin1String("/lessons/")));
}

QTEST_GUILESS_MAIN(TestNdProgram)
#include "TestNdProgram.moc"
