#pragma once

#include <QDBusConnection>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

class QDBusPendingCallWatcher;
class QSystemTrayIcon;

// Tells the user of an event while the window may be out of sight: a notice of
// the desktop's notification service on the session bus, or, where no such
// service answers, the tray icon's message. Clicking either opens the folder
// the notice names. Lives on the GUI thread and never waits for the bus.
class NdDesktopNotifier : public QObject
{
    Q_OBJECT
public:
    // bus: where the notification service is looked for.
    explicit NdDesktopNotifier(QObject* parent = nullptr, const QDBusConnection& bus = QDBusConnection::sessionBus());

    // Shows a desktop notice: title, text, and a folder that its default action
    // opens. False when there is neither a session bus nor a system tray; a
    // service that turns out to be missing hands the notice to the tray later.
    bool Notify(const QString& title, const QString& text, const QString& folder);

private slots:
    // Slots by name, as QDBusConnection::connect takes no functor.
    void onActionInvoked(uint id, const QString& action);
    void onNotificationClosed(uint id, uint reason);

private:
    void SendNotice(const QString& title, const QString& text, const QString& folder);
    void onNoticeAnswered(
        QDBusPendingCallWatcher* call, const QString& title, const QString& text, const QString& folder);
    bool ShowTrayMessage(const QString& title, const QString& text, const QString& folder);
    void onTrayMessageClicked();
    static void OpenFolder(const QString& folder);

    QDBusConnection Bus;
    QHash<uint, QString> NoticeFolders;  // the notices on show, by the service's id
    QSystemTrayIcon* TrayIcon = nullptr; // made for the first tray message
    QString TrayFolder;
    QTimer TrayHideTimer;
};
