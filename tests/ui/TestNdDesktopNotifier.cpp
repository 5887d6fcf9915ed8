// Desktop notices, on a session bus of the test's own (CTest starts it under
// dbus-run-session) with a notification service of the test's own, and where
// no bus runs.
#include "NdDesktopNotifier.h"
#include "NdTestNotificationService.h"
#include "NdUiTestKit.h"

#include <QSystemTrayIcon>
#include <QtTest>

class TestNdDesktopNotifier : public NdUiTestCase
{
    Q_OBJECT

private slots:
    void noticeOpensItsFolder();
    void nothingShownWithoutBusOrTray();
};

// A click on a notice opens its own folder; the service's other notices and
// other actions open none. The service's signals arrive in the order sent, so
// once the last click has opened its folder, every click before it is handled.
void TestNdDesktopNotifier::noticeOpensItsFolder()
{
    NdTestNotificationService service;
    if (!service.Start())
        QSKIP("no session bus of the test's own: dbus-run-session is missing");
    NdDesktopNotifier notifier;
    const QString other = Dir.filePath(QStringLiteral("other"));
    QVERIFY(notifier.Notify(QStringLiteral("下载完成"), QStringLiteral("第一课 Lesson.mp4"), Dir.path()));
    QVERIFY(notifier.Notify(QStringLiteral("下载完成"), QStringLiteral("第二课.mp4"), other));
    QTRY_COMPARE(service.Notices().size(), 2);
    const NdTestNotice notice = service.Notices().at(0);
    QCOMPARE(notice.AppName, QStringLiteral("NdDownloader"));
    QCOMPARE(notice.Summary, QStringLiteral("下载完成"));
    QCOMPARE(notice.Body, QStringLiteral("第一课 Lesson.mp4"));
    QCOMPARE(notice.Actions, QStringList({"default", NdUiStr("NdDownloader.OpenFileDir")}));

    const uint otherId = service.Notices().at(1).Id;
    for (const auto& [id, action] : {std::pair<uint, const char*>{otherId + 1, "default"}, {notice.Id, "snooze"},
             {notice.Id, "default"}, {otherId, "default"}})
        QVERIFY(service.InvokeAction(id, QString::fromLatin1(action)));
    const QUrl last = QUrl::fromLocalFile(other);
    QTRY_VERIFY(Urls.Opened.contains(last));
    QCOMPARE(Urls.Opened, QList<QUrl>({QUrl::fromLocalFile(Dir.path()), last}));
}

void TestNdDesktopNotifier::nothingShownWithoutBusOrTray()
{
    const QString noBus = QStringLiteral("unix:path=") + Dir.filePath(QStringLiteral("no-bus"));
    NdDesktopNotifier notifier(nullptr, QDBusConnection::connectToBus(noBus, QStringLiteral("no-bus")));
    QVERIFY(!notifier.Notify(QStringLiteral("下载完成"), QStringLiteral("第一课.mp4"), Dir.path()));
    QVERIFY(!notifier.findChild<QSystemTrayIcon*>());
}

QTEST_MAIN(TestNdDesktopNotifier)
#include "TestNdDesktopNotifier.moc"
