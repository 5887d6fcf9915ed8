// The scheduler's rules without threads: what it starts, pauses, deletes and
// starts again by itself, event by event.
#include "NdTaskQueue.h"

#include <QtTest>

class TestNdTaskQueue : public QObject
{
    Q_OBJECT
private slots:
    void rules_data();
    void rules();
};

void TestNdTaskQueue::rules_data()
{
    // Events in order, each "<event>=<orders it gives>" or, giving none, "<event>".
    // Tasks: "a" has the folder "a" in the download folder "D" and the name "a";
    // "a.v" is named "v", "a.a." has no download folder, ".a" no folder. Runs are
    // numbered from 1 as they start. "add:a" queues a; "start:a", "pause:a" and
    // "set<n>:a" ask for a state; "remove:a" deletes a; "rename:1:a.v" says that
    // the video of run 1 took the name v, "blank:1" that its record went blank,
    // "end:1" that its thread ended, "fail:1:a" that it ended failed by the
    // network; "down", "up"; "pass<n>@<ms>": n passes of the loop (1) at ms (as
    // before). Orders: "a" (a run of a starts), "pause:1", "delete:1", "again:a"
    // (a is queued again by itself).
    QTest::addColumn<QString>("script");
    QTest::newRow("a record queues once, last, and with both folders; paused or removed, it leaves the queue")
        << "add:a add:b add:a add:c.c. add:.d add:e pause:a remove:b start:a pass=e pass=a pass";
    QTest::newRow("five at once; a slot comes free as a run ends, goes blank, is paused or removed")
        << "add:a add:b add:c add:d add:e add:f add:g add:h add:i pass6=a,b,c,d,e end:1 pass=f pause:b=pause:2 pass=g "
           "remove:c=delete:3 pass=h blank:4 pass pass=i";
    QTest::newRow("started while its paused run works, a task waits for that run; the queue with it")
        << "add:a pass=a pause:a=pause:1 start:a add:b pass blank:1 pass=a pass=b";
    QTest::newRow("which states queue") << "start:a set2:b set4:c set7:d set3:e set5:f set6:g set9:h pass5=a,b,c,d";
    QTest::newRow("a run is found by its folders and its name, which follows the video")
        << "add:a pass=a rename:1:a.v pause:a remove:a pause:a.v=pause:1";
    QTest::newRow("failed by the network: again after 30 s, 2 min and 10 min, then no more")
        << "add:a pass=a fail:1:a pass@29999 pass@30000=again:a,a fail:2:a pass@149999 pass@150000=again:a,a "
           "fail:3:a pass@750000=again:a,a fail:4:a pass@99999999";
    QTest::newRow("not while the network is down; at once when it is back, and not counted")
        << "add:a pass=a fail:1:a down pass@40000 up pass=again:a,a fail:2:a down up pass=again:a,a fail:3:a "
           "pass@70000=again:a,a";
    QTest::newRow("each after its own pause; none the user paused, deleted or started")
        << "add:a add:b add:c add:d pass4=a,b,c,d fail:1:a fail:2:b fail:3:c pass@10000 fail:4:d pause:a remove:b "
           "start:c pass@30000=c pass@39999 pass@40000=again:d,d";
}

void TestNdTaskQueue::rules()
{
    QFETCH(QString, script);
    NdTaskQueue queue;
    qint64 now = 0;
    for (const QString& step : script.split(' ')) {
        const QString event = step.section('=', 0, 0);
        const QString verb = event.section(':', 0, 0).section('@', 0, 0);
        const NdTaskQueue::RunId run = event.section(':', 1, 1).toULongLong();
        const QStringList task = event.section(':', -1).split('.'); // folder, name, download folder
        DownloadTaskParam_t record;
        record.VideoTempPath = task[0].toStdString();
        record.VideoName = task.value(1, task[0]).toStdString();
        record.VideoDownloadPath = task.value(2, QStringLiteral("D")).toStdString();
        record.VideoState = verb == "pause" ? Paused : verb.startsWith("set") ? verb.mid(3).toInt() : Wait;
        now = event.contains('@') ? event.section('@', 1).toLongLong() : now;
        if (verb == "add")
            queue.Add(record);
        else if (verb == "start" || verb == "pause" || verb.startsWith("set"))
            queue.ChangeState(record);
        else if (verb == "remove")
            queue.Remove(record);
        else if (verb == "rename" || verb == "blank")
            queue.Follow(run, verb == "rename" ? record : DownloadTaskParam_t());
        else if (verb == "end" || verb == "fail")
            queue.Ended(run, verb == "fail" ? record : DownloadTaskParam_t(), now);
        else if (verb == "up" || verb == "down")
            queue.NetworkChanged(verb == "up");
        else
            QVERIFY2(verb.startsWith("pass"), qPrintable(event));
        for (int pass = verb.startsWith("pass") ? qMax(1, verb.mid(4).toInt()) : 0; pass > 0; --pass)
            queue.Pass(now);
        QStringList orders;
        for (const NdTaskOrder_t& order : queue.TakeOrders())
            orders << QStringList{"", "pause:", "delete:", "again:"}.at(order.What)
                    + (order.Record.IsBlank() ? QString::number(order.Run)
                                              : QString::fromStdString(order.Record.VideoTempPath));
        QCOMPARE(orders.join(','), step.section('=', 1));
    }
}

QTEST_GUILESS_MAIN(TestNdTaskQueue)
#include "TestNdTaskQueue.moc"
