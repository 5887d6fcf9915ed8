// The real NdDownloader binary as processes: a copy of the bundle whose
// deployment file points at the sample platform, each start with its own data
// folder, all of them sharing the bundle's temporary folder, and the starts of
// one user their private runtime folder (where the single-instance lock and the
// hand-over socket live), on the offscreen platform.
#include "NdDesktopTestKit.h"
#include "NdEngineTestKit.h"
#include "NdProgramBundle.h"
#include "NdSamplePlatformProcess.h"
#include "NdTestEnv.h"
#include "NdTestUser.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
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
    void quitEndsTransfersAtOnce();
};

// One session of starts against one lock and socket, in order.
void TestNdProgram::startsAsTheDesktopMakesThem()
{
    NdSamplePlatformProcess platform;
    QVERIFY2(platform.Start(), qPrintable(platform.ErrorString()));
    NdProgramBundle bundle;
    QTemporaryDir home;
    QTemporaryDir otherHome;
    QVERIFY(bundle.Create(platform.DeployFilePath()) && home.isValid() && otherHome.isValid());
    const NdTestUser other;                                     // goes after the processes, which may run as it
    std::vector<std::unique_ptr<NdTestChildProcess>> processes; // killed when they outlive a failed check
    const auto homeOf = [&](const QStringList& runAs) { return runAs.isEmpty() ? home.path() : otherHome.path(); };
    const auto launch = [&](const QString& data, const QStringList& arguments = {}, const QStringList& runAs = {}) {
        processes.push_back(std::make_unique<NdTestChildProcess>());
        processes.back()->setProcessEnvironment(bundle.Environment(homeOf(runAs), data));
        const QStringList command = runAs + QStringList(bundle.ProgramPath()) + arguments;
        processes.back()->start(command.first(), command.mid(1));
        return processes.back().get();
    };
    const auto log = [&](const QString& data, const QStringList& runAs = {}) {
        return NdTestLogText(NdProgramBundle::DataFolder(homeOf(runAs), data));
    };

    // A data folder below a regular file cannot be made, not even by root:
    // the start ends with 1 and gives the lock back.
    QFile blocker(home.path() + QStringLiteral("/blocked"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    QProcess* blocked = launch("blocked/below-a-file");
    QCOMPARE(NdExitCode(blocked), 1);
    QVERIFY(
        blocked->readAllStandardError().contains("Failed to initialize basic settings, please restart the program."));

    // A killed instance leaves its lock file and socket behind; the next start
    // takes over both. The start-up line is logged once the instance holds the
    // lock and listens, and the token it was started with has left its
    // command line, which every user can read.
    QProcess* killed = launch("killed", {"nddownloader:///nadioDownLoader-token-KiLlEd"});
    QTRY_VERIFY_WITH_TIMEOUT(log("killed").contains("; ffmpeg "), 20000);
    QTRY_COMPARE_WITH_TIMEOUT(platform.TokensQueried(), QStringList{"KiLlEd"}, 10000);
    const QByteArray commandLine = NdReadFile(QStringLiteral("/proc/%1/cmdline").arg(killed->processId()));
    QVERIFY(commandLine.startsWith(QFile::encodeName(bundle.ProgramPath())) && !commandLine.contains("KiLlEd"));
    killed->kill();
    QVERIFY(killed->waitForFinished(5000));
    QProcess* first = launch("first");
    QTRY_VERIFY_WITH_TIMEOUT(log("first").contains("; ffmpeg "), 20000);

    // A second start hands its URL over as typed (the token's case kept) and
    // ends; the first logs the token masked.
    QCOMPARE(NdExitCode(launch("second", {"nddownloader://nadioDownLoader-token-SeCrEt+ToKeN="})), 0);
    QVERIFY(log("second").isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(platform.TokensQueried(), (QStringList{"KiLlEd", "SeCrEt+ToKeN="}), 10000);
    QVERIFY2(log("first").contains("onGetNewTask,urlParam:nadioDownLoader-token-SeCr…"), qPrintable(log("first")));
    QVERIFY(!log("first").contains("SeCrEt+"));

    // The hand-over takes one line of at most 64 KiB, sent within 5 s.
    QLocalSocket idle;
    QLocalSocket oversized;
    for (QLocalSocket* peer : {&idle, &oversized}) {
        peer->connectToServer(NdPrivateTmpDir(home.path()) + QStringLiteral("/NdDownloader/handover"));
        QVERIFY(peer->waitForConnected(5000));
    }
    oversized.write(QByteArray(64 * 1024 + 1, 'x') + '\n');
    QTRY_COMPARE_WITH_TIMEOUT(oversized.state(), QLocalSocket::UnconnectedState, 5000);
    QVERIFY(oversized.readAll().isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(idle.state(), QLocalSocket::UnconnectedState, 6000);

    // Another user of the computer runs an instance of their own beside the
    // first, and a socket that the first user planted at the hand-over's old
    // place in the shared temporary folder hears nothing of their requests.
    if (other.IsValid()) {
        QLocalServer planted;
        planted.setSocketOptions(QLocalServer::WorldAccessOption);
        QVERIFY(planted.listen(bundle.TmpPath() + QStringLiteral("/NdDownloader-%1").arg(other.Uid())));
        NdPrivateTmpDir(otherHome.path());
        QVERIFY(other.Own(otherHome.path()));
        const QStringList asOther = other.RunAs();
        QProcess* beside = launch("other", {}, asOther);
        QTRY_VERIFY_WITH_TIMEOUT(log("other", asOther).contains("; ffmpeg "), 20000);
        QCOMPARE(NdExitCode(launch("other", {"nddownloader:///nadioDownLoader-token-OtHeR"}, asOther)), 0);
        QTRY_VERIFY_WITH_TIMEOUT(log("other", asOther).contains("urlParam:nadioDownLoader-token-OtHe…"), 10000);
        QVERIFY(!planted.waitForNewConnection(0));
        QCOMPARE(beside->state(), QProcess::Running);
        beside->terminate();
        QCOMPARE(NdExitCode(beside), 0);
    }
    QCOMPARE(first->state(), QProcess::Running);
    first->terminate();
    QCOMPARE(NdExitCode(first), 0);
    if (!other.IsValid())
        QSKIP(qPrintable(QStringLiteral("another user's instance: ") + other.ErrorString()));
}

// A segment that trickles in keeps no quit waiting: the program ends within
// two seconds, and the task stays stored to resume.
void TestNdProgram::quitEndsTransfersAtOnce()
{
    NdSamplePlatformProcess platform;
    QVERIFY2(platform.Start(), qPrintable(platform.ErrorString()));
    NdProgramBundle bundle;
    QTemporaryDir home;
    QTemporaryDir downloads;
    QVERIFY(bundle.Create(platform.DeployFilePath()) && home.isValid() && downloads.isValid());
    const QString taskFile = NdProgramBundle::DataFolder(home.path(), "quit") + "/NdDownloadTasks.bin";
    const QJsonObject task{{"AppId", ""}, {"UserId", ""}, {"VideoM3U8Url", platform.LessonUrl("late/trickle/long")},
        {"VideoName", "long"}, {"VideoFileSize", 0.0}, {"VideoDownloadFileSize", 0.0}, {"VideoTranscodeFileSize", 0.0},
        {"VideoDuration", 12}, {"VideoTempPath", downloads.path() + "/~NdTemp/{5d1c0000-0000-4000-8000-00000000000d}"},
        {"VideoDownloadPath", downloads.path()}, {"VideoState", 0}};
    QVERIFY(
        QDir().mkpath(QFileInfo(taskFile).path()) && NdWriteFile(taskFile, QJsonDocument(QJsonArray{task}).toJson()));
    const auto trickling = [&] {
        const QJsonArray requests = platform.Requests();
        return std::any_of(requests.begin(), requests.end(), [](const QJsonValue& request) {
            return request["path"] == QLatin1String("/lessons/late/trickle/long/seg7.ts");
        });
    };
    NdTestChildProcess program;
    program.setProcessEnvironment(bundle.Environment(home.path(), "quit"));
    program.start(bundle.ProgramPath(), QStringList());
    QTRY_VERIFY_WITH_TIMEOUT(trickling(), 20000);
    QElapsedTimer quitting;
    quitting.start();
    program.terminate();
    QCOMPARE(NdExitCode(&program, 5000), 0);
    QVERIFY2(quitting.elapsed() < 2000, qPrintable(QString::number(quitting.elapsed())));
    // The figures of the batch before the trickling one are written as the program ends.
    const QJsonValue stored = QJsonDocument::fromJson(NdReadFile(taskFile)).array().at(0);
    QVERIFY(stored["VideoDownloadFileSize"].toDouble() > 0 && stored["VideoState"] == 2);
}

QTEST_GUILESS_MAIN(TestNdProgram)
#include "TestNdProgram.moc"
