// The real NdDownloader binary as processes: a copy of the bundle whose
// deployment file points at the sample platform, each start with its own data
// folder, all of them sharing one temporary folder (where the single-instance
// segment and the local socket live), on the offscreen platform.
#include "NdDesktopTestKit.h"
#include "NdProgramBundle.h"
#include "NdSamplePlatformProcess.h"
#include "NdTestEnv.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

class TestNdProgram : public QObject
{
    Q_OBJECT
private slots:
    void startsAsTheDesktopMakesThem();
};

// One session of starts against one segment and socket, in order.
void TestNdProgram::startsAsTheDesktopMakesThem()
{
    NdSamplePlatformProcess platform;
    QVERIFY2(platform.Start(), qPrintable(platform.ErrorString()));
    NdProgramBundle bundle;
    QTemporaryDir home;
    QVERIFY(bundle.Create(platform.DeployFilePath()) && home.isValid());
    std::vector<std::unique_ptr<NdTestChildProcess>> processes; // killed when they outlive a failed check
    const auto launch = [&](const QString& data, const QStringList& arguments = {}) {
        processes.push_back(std::make_unique<NdTestChildProcess>());
        processes.back()->setProcessEnvironment(NdProgramBundle::Environment(home.path(), data));
        processes.back()->start(bundle.ProgramPath(), arguments);
        return processes.back().get();
    };
    const auto log
        = [&home](const QString& data) { return NdTestLogText(NdProgramBundle::DataFolder(home.path(), data)); };

    // A data folder below a regular file cannot be made, not even by root:
    // the start ends with 1 and gives the segment back.
    QFile blocker(home.path() + QStringLiteral("/blocked"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    QProcess* blocked = launch("blocked/below-a-file");
    QCOMPARE(NdExitCode(blocked), 1);
    QVERIFY(
        blocked->readAllStandardError().contains("Failed to initialize basic settings, please restart the program."));

    // A killed instance leaves its segment and socket behind; the next start
    // takes over both. The start-up line is logged once the instance holds the
    // segment and listens.
    QProcess* killed = launch("killed");
    QTRY_VERIFY_WITH_TIMEOUT(log("killed").contains("; ffmpeg "), 20000);
    killed->kill();
    QVERIFY(killed->waitForFinished(5000));
    QProcess* first = launch("first");
    QTRY_VERIFY_WITH_TIMEOUT(log("first").contains("; ffmpeg "), 20000);

    // A second start hands its URL over as typed (the token's case kept) and
    // ends; the first logs the token masked.
    QCOMPARE(NdExitCode(launch("second", {"nddownloader://nadioDownLoader-token-SeCrEt+ToKeN="})), 0);
    QVERIFY(log("second").isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(platform.TokensQueried(), QStringList{"SeCrEt+ToKeN="}, 10000);
    QVERIFY2(log("first").contains("onGetNewTask,urlParam:nadioDownLoader-token-SeCr…"), qPrintable(log("first")));
    QVERIFY(!log("first").contains("SeCrEt+"));
    QCOMPARE(first->state(), QProcess::Running);
    first->terminate();
    QCOMPARE(NdExitCode(first), 0);
}

QTEST_GUILESS_MAIN(TestNdProgram)
#include "TestNdProgram.moc"
