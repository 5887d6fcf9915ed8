// The style sheets and pictures compiled into the program: every picture a
// sheet names exists and draws something, both picture forms agree, and the
// sheet, applied to widgets carrying the program's object names and dynamic
// properties, paints the intended picture and text colours.

#include "NdTestEnv.h"

#include <QApplication>
#include <QCheckBox>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QFontInfo>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyle>
#include <QStyleOptionButton>
#include <QtTest>

namespace {

const QString kSheet2x = QStringLiteral(":/res/qss/nddownload_2x.qss");
const QString kSheet = QStringLiteral(":/res/qss/nddownload.qss");
const QString kImageDir = QStringLiteral(":/res/img/");

QString ReadResource(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

QStringList PictureUrls(const QString& sheet)
{
    QStringList urls;
    QRegularExpressionMatchIterator it = QRegularExpression(QStringLiteral("url\\((:/[^)\\s]+)\\)")).globalMatch(sheet);
    while (it.hasNext())
        urls.append(it.next().captured(1));
    urls.removeDuplicates();
    return urls;
}

bool IsBlank(const QImage& image)
{
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    const QRgb first = argb.pixel(0, 0);
    for (int y = 0; y < argb.height(); ++y)
        for (int x = 0; x < argb.width(); ++x)
            if (argb.pixel(x, y) != first)
                return false;
    return true;
}

QString DoubleFormOf(const QString& normalPath)
{
    QString path = normalPath;
    return path.replace(QRegularExpression(QStringLiteral("\\.png$")), QStringLiteral("_2x.png"));
}

// Largest difference of any colour channel over all pixels of two images of
// the same size.
int MaxChannelDifference(const QImage& a, const QImage& b)
{
    int worst = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb pa = a.pixel(x, y);
            const QRgb pb = b.pixel(x, y);
            worst = std::max({worst, std::abs(qRed(pa) - qRed(pb)), std::abs(qGreen(pa) - qGreen(pb)),
                std::abs(qBlue(pa) - qBlue(pb))});
        }
    }
    return worst;
}

// What a widget of the given size shows when the sheet paints the picture
// into it: the picture scaled to fit, centred, on the host's white.
QImage ExpectedPicture(const QString& picture, const QSize& size)
{
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    if (!picture.isEmpty()) {
        QPainter painter(&image);
        QIcon(picture).paint(&painter, QRect(QPoint(0, 0), size), Qt::AlignCenter);
    }
    return image.convertToFormat(QImage::Format_RGB32);
}

enum class Kind
{
    Label,
    Button,
    CheckBox
};

enum class Interaction
{
    None,
    Hover,
    Pressed,
    Checked
};

} // namespace

Q_DECLARE_METATYPE(Kind)
Q_DECLARE_METATYPE(Interaction)

class TestNdResources : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void sheetPicturesExistAndDraw_data();
    void sheetPicturesExistAndDraw();
    void sheetsDifferOnlyInPictureForm();
    void everyPictureHasItsDoubleForm_data();
    void everyPictureHasItsDoubleForm();
    void windowIconCarriesBothSizes();

    void sheetPaintsPictureByNameAndState_data();
    void sheetPaintsPictureByNameAndState();
    void sheetSetsTextColourAndSize_data();
    void sheetSetsTextColourAndSize();
    void textFallsBackToInstalledChineseFont();
};

void TestNdResources::initTestCase()
{
    NdTestInitEnvironment();
    QVERIFY2(QFile::exists(kSheet2x), "the resources are not linked into the test");
    // A white host makes the painted pictures comparable with the expected ones.
    qApp->setStyleSheet(ReadResource(kSheet2x)
        + QStringLiteral("\n#NdResourceTestHost { background-color: #FFFFFF; border: none; }\n"));
}

void TestNdResources::sheetPicturesExistAndDraw_data()
{
    QTest::addColumn<QString>("picture");
    for (const QString& sheet : {kSheet2x, kSheet}) {
        const QString text = ReadResource(sheet);
        QVERIFY2(!text.isEmpty(), qPrintable(sheet));
        const QStringList urls = PictureUrls(text);
        QVERIFY2(urls.size() > 40, qPrintable(sheet));
        for (const QString& url : urls)
            QTest::addRow("%s %s", qPrintable(QFileInfo(sheet).fileName()), qPrintable(url)) << url;
    }
}

void TestNdResources::sheetPicturesExistAndDraw()
{
    QFETCH(QString, picture);
    QVERIFY(QFile::exists(picture));
    const QImage image(picture);
    QVERIFY(!image.isNull());
    QVERIFY(!IsBlank(image));
}

void TestNdResources::sheetsDifferOnlyInPictureForm()
{
    const QString doubled = ReadResource(kSheet2x);
    const QString normal = ReadResource(kSheet);
    for (const QString& url : PictureUrls(doubled))
        QVERIFY2(url.endsWith(QStringLiteral("_2x.png")), qPrintable(url));
    for (const QString& url : PictureUrls(normal))
        QVERIFY2(!url.endsWith(QStringLiteral("_2x.png")), qPrintable(url));
    QCOMPARE(normal, QString(doubled).replace(QStringLiteral("_2x.png"), QStringLiteral(".png")));
}

void TestNdResources::everyPictureHasItsDoubleForm_data()
{
    QTest::addColumn<QString>("normal");
    QStringList doubles;
    QDirIterator it(kImageDir, {QStringLiteral("*.png")});
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.endsWith(QStringLiteral("_2x.png")))
            doubles.append(path);
        else
            QTest::newRow(qPrintable(QFileInfo(path).fileName())) << path;
    }
    QVERIFY(doubles.size() > 40);
    for (const QString& path : doubles) {
        QString normal = path;
        normal.chop(int(qstrlen("_2x.png")));
        QVERIFY2(QFile::exists(normal + QStringLiteral(".png")), qPrintable(path));
    }
}

void TestNdResources::everyPictureHasItsDoubleForm()
{
    QFETCH(QString, normal);
    const QImage image(normal);
    const QImage doubled(DoubleFormOf(normal));
    QVERIFY(!image.isNull());
    QVERIFY(!doubled.isNull());
    QCOMPARE(doubled.size(), image.size() * 2);
    QVERIFY(!IsBlank(image));
    QVERIFY(!IsBlank(doubled));

    // A size in the name ("_16x16") is the normal form's size in pixels.
    const QRegularExpressionMatch size
        = QRegularExpression(QStringLiteral("_(\\d+)x(\\d+)$")).match(QFileInfo(normal).completeBaseName());
    if (size.hasMatch())
        QCOMPARE(image.size(), QSize(size.captured(1).toInt(), size.captured(2).toInt()));
}

void TestNdResources::windowIconCarriesBothSizes()
{
    QImageReader reader(kImageDir + QStringLiteral("logo_42x42.ico"));
    QCOMPARE(reader.imageCount(), 2);
    QList<QSize> sizes;
    for (int i = 0; i < reader.imageCount(); ++i) {
        QVERIFY(reader.jumpToImage(i));
        const QImage image = reader.read();
        QVERIFY(!image.isNull());
        QVERIFY(!IsBlank(image));
        sizes.append(image.size());
    }
    QCOMPARE(sizes, QList<QSize>({QSize(42, 42), QSize(84, 84)}));
    QCOMPARE(QIcon(kImageDir + QStringLiteral("logo_42x42.ico")).availableSizes().size(), 2);
}

void TestNdResources::sheetPaintsPictureByNameAndState_data()
{
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<QString>("value");
    QTest::addColumn<Interaction>("interaction");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QString>("picture");

    const QString img = kImageDir;
    const auto label = [&](const char* row, const QString& name, const QByteArray& property, const QString& value,
                           const QSize& size, const QString& picture) {
        QTest::newRow(row) << Kind::Label << name << property << value << Interaction::None << size << picture;
    };
    const auto button = [&](const char* row, const QString& name, const QByteArray& property, const QString& value,
                            Interaction interaction, const QSize& size, const QString& picture) {
        QTest::newRow(row) << Kind::Button << name << property << value << interaction << size << picture;
    };

    const QString state = QStringLiteral("NdTaskItem_StateImageLabel");
    const QSize s24(24, 24);
    label("state downloading", state, "downloadState", "downloading", s24, img + "downloading_24x24_2x.png");
    label("state transcoding", state, "downloadState", "transcoding", s24, img + "downloading_24x24_2x.png");
    label("state downloaded", state, "downloadState", "downloaded", s24, img + "downloaded_24x24_2x.png");
    label("state wait", state, "downloadState", "wait", s24, img + "wait_24x24_2x.png");
    label("state pause", state, "downloadState", "pause", s24, img + "pause_24x24_2x.png");
    label("state fail", state, "downloadState", "fail", s24, img + "fail_24x24_2x.png");
    label("state noDisk", state, "downloadState", "noDisk", s24, img + "fail_24x24_2x.png");
    label("state unknown shows nothing", state, "downloadState", "", s24, QString());

    const QString toast = QStringLiteral("NdToastTip_ImageLabel");
    label("toast tip", toast, "state", "tip", QSize(20, 20), img + "tip_20x20_2x.png");
    label("toast success", toast, "state", "success", QSize(20, 20), img + "success_20x20_2x.png");
    label("toast error", toast, "state", "error", QSize(20, 20), img + "error_20x20_2x.png");

    label("file icon", "NdTaskItem_FileImageLabel", "", "", s24, img + "video_24x24_2x.png");
    label("close dialog file icon", "NdCloseDlg_FileIamgeLabel", "", "", QSize(40, 40), img + "video_48x48_2x.png");
    label("title logo", "NdDownloaderTitleBar_LogoLabel", "", "", QSize(124, 22), img + "logo_124x22_2x.png");
    label("empty page", "NdNoDownloadTaskView_NoTaskImageLabel", "", "", QSize(72, 72), img + "nothing_72x72_2x.png");
    label("size tip icon", "NdStatusPromptBar_SizeImageLabel", "", "", QSize(16, 16), img + "information_16x16_2x.png");
    label("update logo", "NdUpdateDlg_LogoLabel", "", "", QSize(248, 44), img + "logo_248x44_2x.png");
    label("about logo", "NdAboutDlg_LogoLabel", "", "", QSize(248, 44), img + "logo_248x44_2x.png");
    label("warning", "NdQuestionBox_WarningLabel", "", "", QSize(22, 22), img + "warning_20x20_2x.png");

    const QString startPause = QStringLiteral("NdTaskItem_StartPauseBtn");
    const QSize s16(16, 16);
    button("start", startPause, "state", "start", Interaction::None, s16, img + "start_16x16_2x.png");
    button("start hover", startPause, "state", "start", Interaction::Hover, s16, img + "start_hover_16x16_2x.png");
    button(
        "start pressed", startPause, "state", "start", Interaction::Pressed, s16, img + "start_pressed_16x16_2x.png");
    button("pause", startPause, "state", "pause", Interaction::None, s16, img + "pause_16x16_2x.png");
    button("pause hover", startPause, "state", "pause", Interaction::Hover, s16, img + "pause_hover_16x16_2x.png");
    button(
        "pause pressed", startPause, "state", "pause", Interaction::Pressed, s16, img + "pause_pressed_16x16_2x.png");
    button("folder", "NdTaskItem_FolderBtn", "", "", Interaction::None, s16, img + "folder_16x16_2x.png");
    button("folder hover", "NdTaskItem_FolderBtn", "", "", Interaction::Hover, s16, img + "folder_hover_16x16_2x.png");
    button("delete", "NdTaskItem_DeleteBtn", "", "", Interaction::None, s16, img + "delete_16x16_2x.png");
    button("delete hover", "NdTaskItem_DeleteBtn", "", "", Interaction::Hover, s16, img + "delete_hover_16x16_2x.png");

    const QSize s13(13, 13);
    button("mac close", "NdDownloaderTitleBar_Macos_CloseBtn", "", "", Interaction::None, s13,
        img + "mac_close_normal_12x12_2x.png");
    button("mac close hover", "NdDownloaderTitleBar_Macos_CloseBtn", "", "", Interaction::Hover, s13,
        img + "mac_close_hover_12x12_2x.png");
    button("mac min pressed", "NdDownloaderTitleBar_Macos_MinBtn", "", "", Interaction::Pressed, s13,
        img + "mac_min_pressed_12x12_2x.png");
    button("pop close hover", "NdDownloaderPopDlg_CloseBtn", "", "", Interaction::Hover, s16,
        img + "popdlg_close_hover_16x16_2x.png");
    button("dialog close pressed", "NdDownloaderTitleBar_closeBtn", "", "", Interaction::Pressed, QSize(28, 28),
        img + "close_pressed_28x28_2x.png");

    // For check boxes the picture is compared on the indicator only.
    const auto checkBox = [&](const char* row, const QString& name, Interaction interaction, const QString& picture) {
        QTest::newRow(row) << Kind::CheckBox << name << QByteArray() << QString() << interaction << QSize(200, 24)
                           << picture;
    };
    checkBox("close choice", "NdCloseDlg_CheckBox", Interaction::None, img + "uncheck_16x16_2x.png");
    checkBox("close choice ticked", "NdCloseDlg_CheckBox", Interaction::Checked, img + "checked_16x16_2x.png");
    checkBox(
        "delete-file choice", "NdQuestionBox_QCheckBox", Interaction::None, img + "checkbox_unchecked_14x14_2x.png");
    checkBox("delete-file choice ticked", "NdQuestionBox_QCheckBox", Interaction::Checked,
        img + "checkbox_checked_14x14_2x.png");
}

void TestNdResources::sheetPaintsPictureByNameAndState()
{
    QFETCH(Kind, kind);
    QFETCH(QString, objectName);
    QFETCH(QByteArray, property);
    QFETCH(QString, value);
    QFETCH(Interaction, interaction);
    QFETCH(QSize, size);
    QFETCH(QString, picture);

    QWidget host;
    host.setObjectName(QStringLiteral("NdResourceTestHost"));
    host.setAttribute(Qt::WA_StyledBackground);
    host.resize(size + QSize(20, 20));
    QWidget* widget = nullptr;
    if (kind == Kind::Label) {
        widget = new QLabel(&host);
    } else if (kind == Kind::CheckBox) {
        auto* box = new QCheckBox(QStringLiteral("删除本地文件"), &host);
        box->setChecked(interaction == Interaction::Checked);
        widget = box;
    } else {
        auto* button = new QPushButton(&host);
        button->setDown(interaction == Interaction::Pressed);
        widget = button;
    }
    widget->setObjectName(objectName);
    if (!property.isEmpty())
        widget->setProperty(property.constData(), value);
    widget->setGeometry(QRect(QPoint(10, 10), size));
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    // The sheet's hover state follows the cursor, so the cursor is moved onto
    // the widget or well away from it.
    if (interaction == Interaction::Hover)
        QTest::mouseMove(widget, widget->rect().center());
    else
        QTest::mouseMove(&host, QPoint(1, 1));

    QRect area = widget->geometry();
    if (kind == Kind::CheckBox) {
        QStyleOptionButton option;
        option.initFrom(widget);
        area = widget->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, widget);
        area.translate(widget->pos());
    }
    const QImage shown = host.grab().toImage().convertToFormat(QImage::Format_RGB32).copy(area);
    const QImage expected = ExpectedPicture(picture, area.size());
    const int difference = MaxChannelDifference(shown, expected);
    if (difference > 12) {
        shown.save(QDir::temp().filePath(QStringLiteral("TestNdResources_shown.png")));
        expected.save(QDir::temp().filePath(QStringLiteral("TestNdResources_expected.png")));
    }
    QVERIFY2(difference <= 12, qPrintable(QStringLiteral("largest channel difference %1").arg(difference)));
}

void TestNdResources::sheetSetsTextColourAndSize_data()
{
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<QColor>("colour");
    QTest::addColumn<int>("pixelSize");

    QTest::newRow("speed") << "NdTaskItem_NetWorkSpeedLabel" << QColor("#237bff") << 14;
    QTest::newRow("row text") << "NdTaskItem_TextLabel" << QColor("#333333") << 14;
    QTest::newRow("file name") << "NdTaskItem_FileNameLabel" << QColor("#333333") << 14;
    QTest::newRow("header") << "NdStatusPromptBar_TextLabel" << QColor("#333333") << 14;
    QTest::newRow("empty page text") << "NdNoDownloadTaskView_NoTaskTextLabel" << QColor("#999999") << 14;
    QTest::newRow("support") << "NdNoDownloadTaskView_NdSupportLabel" << QColor("#CCCCCC") << 12;
    QTest::newRow("dialog title") << "NdDialog_TitleLabel" << QColor("#333333") << 16;
    QTest::newRow("downloading note") << "NdCloseDlg_DownloadingLabel" << QColor("#bebebe") << 12;
    QTest::newRow("no disk space") << "NdSetDownloadPathDlg_NoFreeDiskSizeLabel" << QColor("#FF4747") << 14;
    QTest::newRow("update text") << "NdUpdateDlg_UpdateTextLabel" << QColor("#666666") << 14;
    QTest::newRow("update progress") << "NdUpdateProgressDlg_ProgressLabel" << QColor("#999999") << 14;
    QTest::newRow("copyright") << "NdAboutDlg_CopyRightLabel" << QColor("#999999") << 10;
    QTest::newRow("tip text") << "NdRadiusTip_TipLabel" << QColor("#333333") << 14;
    QTest::newRow("toast text") << "NdToastTip_TextLabel" << QColor("#333333") << 14;
}

void TestNdResources::sheetSetsTextColourAndSize()
{
    QFETCH(QString, objectName);
    QFETCH(QColor, colour);
    QFETCH(int, pixelSize);

    QLabel label(QStringLiteral("下载 100%"));
    label.setObjectName(objectName);
    label.ensurePolished();
    QCOMPARE(label.palette().color(QPalette::WindowText), colour);
    QCOMPARE(label.font().pixelSize(), pixelSize);
}

void TestNdResources::textFallsBackToInstalledChineseFont()
{
    QLabel label(QStringLiteral("课程下载器"));
    label.setObjectName(QStringLiteral("NdTaskItem_TextLabel"));
    label.ensurePolished();
    const QString family = QFontInfo(label.font()).family();
    QVERIFY2(
        family.contains(QStringLiteral("CJK")) || family.contains(QStringLiteral("WenQuanYi")), qPrintable(family));
}

QTEST_MAIN(TestNdResources)
#include "TestNdResources.moc"
