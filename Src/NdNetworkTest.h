#pragma once

#include <QMutex>
#include <QString>
#include <QThread>
#include <QWaitCondition>

// Pings the deployment's probe host again and again and reports whether it
// answered. Ending the object stops the loop, kills a ping in flight and waits
// for the thread, so nothing runs on a dead object.
class NdNetworkTest : public QThread
{
    Q_OBJECT
public:
    // target: the main window; its slotNetworkState(bool) receives the state.
    explicit NdNetworkTest(void* target);
    ~NdNetworkTest() override;

    // Ends the loop within a few milliseconds; the thread can then be waited for.
    void Stop();

    // The program started as "ping"; an empty text restores the default.
    static void SetPingProgram(const QString& program);
    // True when ping's output shows an answer.
    static bool IsReachable(const QByteArray& pingOutput);

signals:
    void sigNetworkState(bool up);

protected:
    void run() override;

private:
    QByteArray PingOnce(const QString& host);
    // Sleeps up to ms; false when the loop was stopped meanwhile.
    bool Pause(int ms);
    bool IsRunning();

    QMutex Mutex; // guards StopRequested
    QWaitCondition Stopped;
    // Set once by Stop, also before the thread has started: it then ends at once.
    bool StopRequested = false;
};
