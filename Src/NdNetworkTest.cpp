#include "NdNetworkTest.h"

#include "NdDownloader.h"

#include "NdCore/NdDeploySettings.h"

#include <QDeadlineTimer>
#include <QMutexLocker>
#include <QProcess>

#include <cstring>

namespace {

const int kPingLimitMs = 30000;
const int kCyclePauseMs = 2000;
const int kStopCheckMs = 50;

QMutex g_programLock;
QString g_pingProgram = QStringLiteral("ping");

QString PingProgram()
{
    QMutexLocker locker(&g_programLock);
    return g_pingProgram;
}

} // namespace

NdNetworkTest::NdNetworkTest(void* target) : QThread(nullptr)
{
    auto* window = static_cast<NdDownloader*>(target);
    if (window)
        connect(this, &NdNetworkTest::sigNetworkState, window, &NdDownloader::slotNetworkState);
}

NdNetworkTest::~NdNetworkTest()
{
    Stop();
    wait();
}

void NdNetworkTest::Stop()
{
    QMutexLocker locker(&Mutex);
    StopRequested = true;
    Stopped.wakeAll();
}

void NdNetworkTest::SetPingProgram(const QString& program)
{
    QMutexLocker locker(&g_programLock);
    g_pingProgram = program.isEmpty() ? QStringLiteral("ping") : program;
}

bool NdNetworkTest::IsReachable(const QByteArray& pingOutput)
{
    // The output counts up to its first zero byte.
    const QByteArray text(
        pingOutput.constData(), static_cast<int>(qstrnlen(pingOutput.constData(), pingOutput.size())));
    return QString::fromUtf8(text).contains(QLatin1String("ttl="));
}

void NdNetworkTest::run()
{
    while (IsRunning()) {
        const QByteArray output = PingOnce(NdDeploySettings::Get().ProbeHost);
        if (!IsRunning())
            break;
        emit sigNetworkState(IsReachable(output));
        if (!Pause(kCyclePauseMs))
            break;
    }
}

QByteArray NdNetworkTest::PingOnce(const QString& host)
{
    QProcess ping;
    // The host after "--": whatever it holds, ping never reads it as an option.
    ping.start(
        PingProgram(), {QStringLiteral("-c"), QStringLiteral("5"), QStringLiteral("--"), host}, QIODevice::ReadWrite);
    const QDeadlineTimer deadline(kPingLimitMs);
    while (!ping.waitForFinished(kStopCheckMs)) {
        if (ping.state() == QProcess::NotRunning || deadline.hasExpired() || !IsRunning())
            break;
    }
    if (ping.state() != QProcess::NotRunning) {
        ping.kill();
        ping.waitForFinished(1000);
    }
    return ping.readAllStandardOutput();
}

bool NdNetworkTest::Pause(int ms)
{
    QMutexLocker locker(&Mutex);
    if (!StopRequested)
        Stopped.wait(&Mutex, QDeadlineTimer(ms));
    return !StopRequested;
}

bool NdNetworkTest::IsRunning()
{
    QMutexLocker locker(&Mutex);
    return !StopRequested;
}
