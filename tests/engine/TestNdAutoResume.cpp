// Which tasks that failed because of the network start again by themselves.
#include "NdAutoResume.h"

#include <QtTest>

class TestNdAutoResume : public QObject
{
    Q_OBJECT
private slots:
    void rules_data();
    void rules();
};

void TestNdAutoResume::rules_data()
{
    // Events in order: "fail:<task>@<ms>", "down", "up", "forget:<task>", and
    // "<ms>=<tasks due then>".
    QTest::addColumn<QString>("events");
    QTest::newRow("after 30 s, 2 min and 10 min, then no more")
        << "fail:a@0 29999= 30000=a fail:a@30000 149999= 150000=a fail:a@150000 750000=a fail:a@750000 99999999=";
    QTest::newRow("the network back: at once, and not counted")
        << "fail:a@0 down 40000= up 40000=a fail:a@40000 down up 40000=a fail:a@40000 70000=a";
    QTest::newRow("nothing while the network is down") << "fail:a@0 down 9999999=";
    QTest::newRow("paused, started or deleted by the user") << "fail:a@0 fail:b@0 forget:a 30000=b";
    QTest::newRow("each after its own pause") << "fail:a@0 fail:b@10000 30000=a 39999= 40000=b";
}

void TestNdAutoResume::rules()
{
    QFETCH(QString, events);
    NdAutoResume resume;
    for (const QString& event : events.split(' ')) {
        const QString subject = event.section(':', 1).section('@', 0, 0);
        if (event.startsWith("fail:")) {
            DownloadTaskParam_t record;
            record.VideoTempPath = subject.toStdString();
            resume.Failed(record, event.section('@', 1).toLongLong());
        } else if (event.startsWith("forget:")) {
            resume.Forget(subject.toStdString());
        } else if (event == "down" || event == "up") {
            resume.NetworkChanged(event == "up");
        } else {
            QStringList due;
            for (const DownloadTaskParam_t& record : resume.Due(event.section('=', 0, 0).toLongLong()))
                due << QString::fromStdString(record.VideoTempPath);
            QCOMPARE(due.join(','), event.section('=', 1));
        }
    }
}

QTEST_GUILESS_MAIN(TestNdAutoResume)
#include "TestNdAutoResume.moc"
