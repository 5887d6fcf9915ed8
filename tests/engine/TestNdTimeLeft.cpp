// The estimate of the time left: smoothed, hidden while it cannot be sound.
#include "NdTimeLeft.h"

#include <QtTest>

class TestNdTimeLeft : public QObject
{
    Q_OBJECT
private slots:
    void estimate_data();
    void estimate();
};

void TestNdTimeLeft::estimate_data()
{
    // Events in order: "<ms>:<MB so far>" figures, "restart@<ms>:<MB>", and
    // "<ms>/<MB of MB>=<seconds left>", -1 for no estimate.
    QTest::addColumn<QString>("events");
    QTest::newRow("steady 1 MB/s") << "0:0 1000:1 2000:2 3000:3 4000:4 4000/4of100=96";
    QTest::newRow("nothing in the first three seconds") << "0:0 1000:1 2000:2 2999/2of100=-1 3000/2of100=98";
    QTest::newRow("unknown size") << "0:0 1000:1 2000:2 3000:3 4000:4 4000/4of0=-1";
    QTest::newRow("no figures yet, or no speed seen") << "0:0 5000/0of100=-1 6000:0 6000/0of100=-1";
    // A tenth of a burst of eleven times the speed: not 7 s, but 41 s.
    QTest::newRow("one fast batch barely moves it")
        << "0:0 1000:1 2000:2 3000:3 4000:4 5000:5 6000:6 7000:7 8000:8 9000:9 10000:10 11000:21 11000/21of100=41";
    QTest::newRow("a stall slows it down, never to nothing") << "0:0 1000:1 2000:2 3000:3 13000:3 13000/3of100=264";
    QTest::newRow("a run learns its speed anew")
        << "0:0 1000:10 2000:20 3000:30 restart@10000:30 11000:31 12999/31of100=-1 14000:34 14000/34of100=66";
    QTest::newRow("done") << "0:0 1000:1 2000:2 3000:3 3000/100of100=0";
}

void TestNdTimeLeft::estimate()
{
    QFETCH(QString, events);
    NdTimeLeft estimate;
    for (const QString& event : events.split(' ')) {
        if (event.startsWith("restart@")) {
            estimate.Restart(event.section('@', 1).section(':', 0, 0).toLongLong(), event.section(':', 1).toDouble());
        } else if (event.contains('=')) {
            const QString figures = event.section('/', 1).section('=', 0, 0);
            QCOMPARE(estimate.SecondsLeft(event.section('/', 0, 0).toLongLong(), figures.section("of", 1).toDouble(),
                         figures.section("of", 0, 0).toDouble()),
                event.section('=', 1).toLongLong());
        } else {
            estimate.Update(event.section(':', 0, 0).toLongLong(), event.section(':', 1).toDouble());
        }
    }
}

QTEST_GUILESS_MAIN(TestNdTimeLeft)
#include "TestNdTimeLeft.moc"
