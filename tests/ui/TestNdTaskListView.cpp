// The names new videos get in a download folder: free of existing files, and
// apart from the same video already listed there.
#include "NdTaskListView.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestNdTaskListView : public QObject
{
    Q_OBJECT
private slots:
    void newVideoNames_data();
    void newVideoNames();
};

void TestNdTaskListView::newVideoNames_data()
{
    QTest::addColumn<QStringList>("files");  // .mp4 files already in the folder
    QTest::addColumn<QStringList>("listed"); // "name|url|folder", folder "dir" is the chosen one
    QTest::addColumn<QString>("received");
    QTest::addColumn<QString>("expected");
    const QString same = QStringLiteral("|https://h/a.m3u8|dir");
    QTest::newRow("free") << QStringList() << QStringList() << "Lesson"
                          << "Lesson";
    QTest::newRow("file exists") << QStringList{"Lesson"} << QStringList() << "Lesson"
                                 << "Lesson(1)";
    QTest::newRow("two files") << QStringList{"Lesson", "Lesson(1)"} << QStringList() << "Lesson"
                               << "Lesson(2)";
    QTest::newRow("a gap is used") << QStringList{"Lesson", "Lesson(2)"} << QStringList() << "Lesson"
                                   << "Lesson(1)";
    QTest::newRow("listed") << QStringList() << QStringList{"Lesson" + same} << "Lesson"
                            << "Lesson(1)";
    QTest::newRow("listed twice") << QStringList() << QStringList{"Lesson(1)" + same, "Lesson" + same} << "Lesson"
                                  << "Lesson(2)";
    QTest::newRow("listed, other address") << QStringList() << QStringList{"Lesson|https://h/b.m3u8|dir"} << "Lesson"
                                           << "Lesson";
    QTest::newRow("listed, other folder")
        << QStringList() << QStringList{"Lesson|https://h/a.m3u8|elsewhere"} << "Lesson"
        << "Lesson";
    // The counter runs on from the file check into the list check.
    QTest::newRow("file, then listed") << QStringList{"Lesson"} << QStringList{"Lesson(1)" + same} << "Lesson"
                                       << "Lesson(2)";
    // The list check does not look at files again; the last check does.
    QTest::newRow("listed, then file") << QStringList{"Lesson(1)"} << QStringList{"Lesson" + same} << "Lesson"
                                       << "Lesson(1)(1)";
    QTest::newRow("odd characters") << QStringList{"第1课 (复习) 100% & more"} << QStringList()
                                    << "第1课 (复习) 100% & more"
                                    << "第1课 (复习) 100% & more(1)";
    QTest::newRow(".mp4 inside the name") << QStringList{"intro.mp4 part"} << QStringList() << "intro.mp4 part"
                                          << "intro.mp4 part(1)";
}

void TestNdTaskListView::newVideoNames()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, listed);
    QFETCH(QString, received);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    for (const QString& name : files) {
        QFile file(dir.path() + QLatin1Char('/') + name + QStringLiteral(".mp4"));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    std::vector<DownloadTaskParam_t> records;
    for (const QString& entry : listed) {
        const QStringList parts = entry.split(QLatin1Char('|'));
        DownloadTaskParam_t record;
        record.VideoName = parts[0].toStdString();
        record.VideoM3U8Url = parts[1].toStdString();
        record.VideoDownloadPath = parts[2] == QLatin1String("dir") ? dir.path().toStdString() : "/elsewhere";
        records.push_back(record);
    }
    DownloadTaskParam_t task;
    task.VideoName = received.toStdString();
    task.VideoM3U8Url = "https://h/a.m3u8";
    const std::string settled = NdTaskListView::SettleVideoName(task, dir.path(), records);
    QCOMPARE(QString::fromStdString(NdTaskListView::FreeFileName(dir.path(), settled)), expected);
}

QTEST_GUILESS_MAIN(TestNdTaskListView)
#include "TestNdTaskListView.moc"
