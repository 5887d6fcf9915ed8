// The style sheets and pictures compiled into the program: every picture a
// sheet names exists and draws something, each double picture is twice its
// normal one, and the normal sheet is the double one with the normal pictures.
#include <QImage>
#include <QRegularExpression>
#include <QtTest>

namespace {

QString ReadResource(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

class TestNdResources : public QObject
{
    Q_OBJECT

private slots:
    void sheetPictures_data();
    void sheetPictures();
};

void TestNdResources::sheetPictures_data()
{
    const QString doubled = ReadResource(QStringLiteral(":/res/qss/nddownload_2x.qss"));
    QCOMPARE(ReadResource(QStringLiteral(":/res/qss/nddownload.qss")), QString(doubled).replace("_2x.png", ".png"));
    QTest::addColumn<QString>("picture");
    QRegularExpressionMatchIterator url
        = QRegularExpression(QStringLiteral("url\\((:/[^)\\s]+)\\)")).globalMatch(doubled);
    QVERIFY2(url.hasNext(), "the style sheet is not in the resources");
    while (url.hasNext()) {
        const QString picture = url.next().captured(1);
        QTest::newRow(qPrintable(picture)) << picture;
    }
    QTest::newRow("window icon") << QStringLiteral(":/res/img/logo_42x42.ico");
}

void TestNdResources::sheetPictures()
{
    QFETCH(QString, picture);
    const QImage image = QImage(picture).convertToFormat(QImage::Format_ARGB32);
    QImage blank(image.size(), QImage::Format_ARGB32);
    blank.fill(image.pixel(0, 0));
    QVERIFY(!image.isNull() && image != blank);
    const QString normal = QString(picture).replace(QStringLiteral("_2x.png"), QStringLiteral(".png"));
    QVERIFY(picture == normal || QImage(normal).size() * 2 == image.size());
}

QTEST_MAIN(TestNdResources)
#include "TestNdResources.moc"
