#include "NdButton.h"
#include "NdCommonMask.h"
#include "NdDialog.h"
#include "NdRadiusArrowBubble.h"
#include "NdTitleBar.h"
#include "NdUiTestKit.h"

#include <QFontDatabase>
#include <QImage>
#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

namespace {

// A bubble painted in a colour that cannot be confused with the backdrop.
const QColor kBubbleColour(255, 0, 0);
const QColor kBackdrop(0, 0, 255);

QImage RenderOnBackdrop(QWidget* widget)
{
    QImage image(widget->size(), QImage::Format_ARGB32);
    image.fill(kBackdrop);
    widget->render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

bool IsBubble(const QImage& image, int x, int y)
{
    return image.pixelColor(x, y) == kBubbleColour;
}

void SendMouseMove(QWidget* widget, const QPoint& pos, Qt::MouseButtons buttons)
{
    QMouseEvent move(QEvent::MouseMove, pos, widget->mapToGlobal(pos), Qt::NoButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(widget, &move);
}

} // namespace

class TestNdWidgetKit : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void dialogCloseButton_data();
    void dialogCloseButton();
    void titleBarButtons();
    void doubleClickMaximisesOnlyMaximisableWindows_data();
    void doubleClickMaximisesOnlyMaximisableWindows();
    void dragMovesOnlyMovableWindows_data();
    void dragMovesOnlyMovableWindows();
    void titleBarClicksAreReported();
    void bubbleArrowByDirection_data();
    void bubbleArrowByDirection();
    void bubblePressOutsideClosesInsideKeeps();
    void maskClosesWithItsCentralWidget();
    void applicationFontCoversChinese();

private:
    NdReportCatcher m_reports;
};

void TestNdWidgetKit::initTestCase()
{
    NdUiTestInit();
    QVERIFY(m_reports.Start());
}

void TestNdWidgetKit::dialogCloseButton_data()
{
    QTest::addColumn<bool>("popStyle");
    QTest::addColumn<bool>("hideClose");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QString>("objectName");

    QTest::newRow("pop style") << true << false << QSize(16, 16) << "NdDownloaderPopDlg_CloseBtn";
    QTest::newRow("plain") << false << false << QSize(28, 28) << "NdDownloaderTitleBar_closeBtn";
    QTest::newRow("pop style, hidden") << true << true << QSize(16, 16) << "NdDownloaderPopDlg_CloseBtn";
}

void TestNdWidgetKit::dialogCloseButton()
{
    QFETCH(bool, popStyle);
    QFETCH(bool, hideClose);
    QFETCH(QSize, size);
    QFETCH(QString, objectName);

    NdDialog dialog(nullptr, popStyle, hideClose);
    dialog.resize(400, 300);
    dialog.show();
    NdButton* close = dialog.GetTitleBar()->GetBtn(NdTitleBar::CloseBtn);
    QCOMPARE(close->objectName(), objectName);
    QCOMPARE(close->size(), size);
    QCOMPARE(close->isVisible(), !hideClose);
    QCOMPARE(close->focusPolicy(), Qt::NoFocus);
    QVERIFY(dialog.windowFlags() & Qt::FramelessWindowHint);
    QCOMPARE(dialog.GetTitleBar()->geometry(), QRect(0, 0, 400, 48));
    // Restore and maximise are never offered on a dialog.
    QVERIFY(!dialog.GetTitleBar()->GetBtn(NdTitleBar::NormalBtn)->isVisible());
    QVERIFY(!dialog.GetTitleBar()->GetBtn(NdTitleBar::MaximizeBtn)->isVisible());
    // The rounded mask cuts the corners once the dialog has been painted.
    QTRY_VERIFY(!dialog.mask().isEmpty());
    QVERIFY(!dialog.mask().contains(QPoint(0, 0)));
    QVERIFY(dialog.mask().contains(QPoint(200, 150)));
}

void TestNdWidgetKit::titleBarButtons()
{
    QWidget window;
    NdTitleBar* withoutMinimize = new NdTitleBar(&window, false, false, false);
    QVERIFY(withoutMinimize->GetBtn(NdTitleBar::MinimizeBtn) == nullptr);
    QVERIFY(withoutMinimize->GetBtn(NdTitleBar::CloseBtn) != nullptr);
    QVERIFY(withoutMinimize->GetBtn(4) == nullptr);
    QVERIFY(!withoutMinimize->GetBtn(NdTitleBar::MaximizeBtn)->isEnabled());

    NdTitleBar* full = new NdTitleBar(&window, true, true, true);
    const char* const names[]
        = {"NdTitleBar_MinimizeBtn", "NdTitleBar_NormalBtn", "NdTitleBar_MaximizeBtn", "NdTitleBar_CloseBtn"};
    for (int key = 0; key < 4; ++key) {
        QVERIFY(full->GetBtn(key));
        QCOMPARE(full->GetBtn(key)->objectName(), QString::fromLatin1(names[key]));
        QCOMPARE(full->GetBtn(key)->size(), QSize(45, 24));
    }
    QVERIFY(full->GetBtn(NdTitleBar::MaximizeBtn)->isEnabled());
}

void TestNdWidgetKit::doubleClickMaximisesOnlyMaximisableWindows_data()
{
    QTest::addColumn<bool>("maximizable");
    QTest::newRow("maximisable") << true;
    QTest::newRow("not maximisable") << false;
}

void TestNdWidgetKit::doubleClickMaximisesOnlyMaximisableWindows()
{
    QFETCH(bool, maximizable);
    QWidget window;
    window.resize(400, 300);
    NdTitleBar* bar = new NdTitleBar(&window, true, maximizable, true);
    bar->setGeometry(0, 0, 400, 40);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QTest::mouseDClick(bar, Qt::LeftButton, Qt::NoModifier, QPoint(100, 20));
    QCOMPARE(window.isMaximized(), maximizable);
    if (!maximizable)
        return;
    // The title bar swaps maximise for restore while the window is maximised.
    QTRY_VERIFY(bar->GetBtn(NdTitleBar::NormalBtn)->isVisible());
    QVERIFY(!bar->GetBtn(NdTitleBar::MaximizeBtn)->isVisible());

    QTest::mouseDClick(bar, Qt::LeftButton, Qt::NoModifier, QPoint(100, 20));
    QVERIFY(!window.isMaximized());
    QTRY_VERIFY(bar->GetBtn(NdTitleBar::MaximizeBtn)->isVisible());
    QVERIFY(!bar->GetBtn(NdTitleBar::NormalBtn)->isVisible());
}

void TestNdWidgetKit::dragMovesOnlyMovableWindows_data()
{
    QTest::addColumn<bool>("movable");
    QTest::newRow("movable") << true;
    QTest::newRow("not movable") << false;
}

void TestNdWidgetKit::dragMovesOnlyMovableWindows()
{
    QFETCH(bool, movable);
    QWidget window;
    window.setGeometry(100, 100, 400, 300);
    NdTitleBar* bar = new NdTitleBar(&window, false, false, movable);
    bar->setGeometry(0, 0, 400, 40);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QPoint start = window.pos();

    QTest::mousePress(bar, Qt::LeftButton, Qt::NoModifier, QPoint(50, 20));
    SendMouseMove(bar, QPoint(80, 60), Qt::LeftButton);
    QTest::mouseRelease(bar, Qt::LeftButton, Qt::NoModifier, QPoint(80, 60));
    QCOMPARE(window.pos(), movable ? start + QPoint(30, 40) : start);

    // Moving after the release drags nothing.
    SendMouseMove(bar, QPoint(10, 10), Qt::NoButton);
    QCOMPARE(window.pos(), movable ? start + QPoint(30, 40) : start);
}

void TestNdWidgetKit::titleBarClicksAreReported()
{
    QWidget window;
    window.resize(400, 300);
    NdTitleBar* bar = new NdTitleBar(&window, true, false, false);
    bar->setGeometry(0, 0, 400, 40);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QTest::mouseClick(bar->GetBtn(NdTitleBar::MinimizeBtn), Qt::LeftButton);
    QTRY_COMPARE(m_reports.Count(QStringLiteral("btn_min")), 1);
    QVERIFY(window.windowFlags() & Qt::FramelessWindowHint);

    QTest::mouseClick(bar->GetBtn(NdTitleBar::CloseBtn), Qt::LeftButton);
    QVERIFY(!window.isVisible());
    QTRY_COMPARE(m_reports.Count(QStringLiteral("btn_exit")), 1);
}

void TestNdWidgetKit::bubbleArrowByDirection_data()
{
    QTest::addColumn<int>("direction");
    // A point just inside the arrow near its tip, and one at the same depth
    // beside the arrow, which the inset body does not reach.
    QTest::addColumn<QPoint>("inArrow");
    QTest::addColumn<QPoint>("besideArrow");

    // Bubble 120 x 80, arrow at 30, 16 wide, 10 high.
    QTest::newRow("up") << 0 << QPoint(30, 3) << QPoint(60, 3);
    QTest::newRow("down") << 1 << QPoint(30, 76) << QPoint(60, 76);
    QTest::newRow("left") << 2 << QPoint(3, 30) << QPoint(3, 60);
    QTest::newRow("right") << 3 << QPoint(116, 30) << QPoint(116, 60);
}

void TestNdWidgetKit::bubbleArrowByDirection()
{
    QFETCH(int, direction);
    QFETCH(QPoint, inArrow);
    QFETCH(QPoint, besideArrow);

    NdRadiusArrowBubble bubble;
    bubble.resize(120, 80);
    bubble.SetBgColor(kBubbleColour);
    bubble.SetArrowPos(30);
    bubble.SetArrowSize(16, 10);
    bubble.SetArrowDirection(direction);
    QCOMPARE(bubble.GetArrowDirection(), direction);
    QCOMPARE(bubble.GetArrowHeight(), 10);

    const QImage image = RenderOnBackdrop(&bubble);
    QVERIFY(IsBubble(image, inArrow.x(), inArrow.y()));
    QVERIFY(!IsBubble(image, besideArrow.x(), besideArrow.y()));
    // The body is inset by the arrow height on every side.
    QVERIFY(IsBubble(image, 60, 40));
    QVERIFY(IsBubble(image, 15, 40));
    QVERIFY(IsBubble(image, 104, 40));
}

void TestNdWidgetKit::bubblePressOutsideClosesInsideKeeps()
{
    QWidget elsewhere;
    elsewhere.setGeometry(400, 400, 200, 200);
    elsewhere.show();
    NdRadiusArrowBubble bubble;
    bubble.setGeometry(50, 50, 120, 80);
    QSignalSpy clicked(&bubble, &NdRadiusArrowBubble::sigClicked);

    bubble.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bubble));
    QTest::mousePress(&bubble, Qt::LeftButton, Qt::NoModifier, QPoint(60, 40));
    QCOMPARE(clicked.count(), 1);
    QVERIFY(bubble.isVisible());

    QTest::mousePress(&elsewhere, Qt::LeftButton, Qt::NoModifier, QPoint(100, 100));
    QCOMPARE(clicked.count(), 2);
    QVERIFY(!bubble.isVisible());

    // Closed, the bubble no longer watches the application.
    QTest::mousePress(&elsewhere, Qt::LeftButton, Qt::NoModifier, QPoint(120, 100));
    QCOMPARE(clicked.count(), 2);

    // Nor when merely hidden, as a tip is when the mouse leaves its label.
    bubble.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bubble));
    bubble.hide();
    QTest::mousePress(&elsewhere, Qt::LeftButton, Qt::NoModifier, QPoint(140, 100));
    QCOMPARE(clicked.count(), 2);
}

void TestNdWidgetKit::maskClosesWithItsCentralWidget()
{
    QPointer<NdCommonMask> mask = new NdCommonMask();
    QPointer<NdWidget> central = new NdWidget();
    mask->SetCentralWidget(central);
    QCOMPARE(central->parentWidget(), mask.data());
    QVERIFY(!central->isWindow());
    mask->resize(300, 200);
    mask->show();
    QVERIFY(central->isVisible());

    emit central->sigAboutToClose();
    QTRY_VERIFY(mask.isNull());
    QVERIFY(central.isNull());
}

void TestNdWidgetKit::applicationFontCoversChinese()
{
    const QStringList cjkFamilies = {QStringLiteral("Noto Sans CJK SC"), QStringLiteral("WenQuanYi Micro Hei")};
    bool installed = false;
    for (const QString& family : cjkFamilies)
        installed = installed || QFontDatabase().families().contains(family);
    if (!installed)
        QSKIP("no Chinese font installed here");
    NdApplyApplicationFont();
    QCOMPARE(QApplication::font().family(), QStringLiteral("PingFang SC"));
    QCOMPARE(QApplication::font().pointSize(), 10);
    QVERIFY2(cjkFamilies.contains(QFontInfo(QApplication::font()).family()),
        qPrintable(QFontInfo(QApplication::font()).family()));
    QVERIFY(QFontMetrics(QApplication::font()).inFont(QChar(0x8BFE)));
}

QTEST_MAIN(TestNdWidgetKit)
#include "TestNdWidgetKit.moc"
