#include "NdDesktopNotifier.h"

#include "NdLanguageHelper.h"

#include "NdCore/NdLogManager.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QSystemTrayIcon>
#include <QUrl>
#include <QVariantMap>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kDefaultAction = QStringLiteral("default");
// The desktop entry and the icon the package installs: the service shows the
// program's name and icon beside the notice and groups its notices.
const QString kDesktopEntry = QStringLiteral("nddownloader");
// The tray icon exists only for its message; it goes when the message has.
const int kTrayMessageMs = 10000;

} // namespace

NdDesktopNotifier::NdDesktopNotifier(QObject* parent, const QDBusConnection& bus) : QObject(parent), Bus(bus)
{
    Bus.connect(
        kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this, SLOT(onActionInvoked(uint, QString)));
    Bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
        SLOT(onNotificationClosed(uint, uint)));
    TrayHideTimer.setSingleShot(true);
    TrayHideTimer.setInterval(kTrayMessageMs);
}

bool NdDesktopNotifier::Notify(const QString& title, const QString& text, const QString& folder)
{
    if (!Bus.isConnected())
        return ShowTrayMessage(title, text, folder);
    SendNotice(title, text, folder);
    return true;
}

// Sent without waiting: the answer, with the notice's id, comes through the
// event loop. A service that is not running but can be started by the bus is
// started by this call.
void NdDesktopNotifier::SendNotice(const QString& title, const QString& text, const QString& folder)
{
    QDBusMessage message = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    const QStringList actions = {kDefaultAction, Str("NdDownloader.OpenFileDir")};
    const QVariantMap hints = {{QStringLiteral("desktop-entry"), kDesktopEntry}};
    message << QStringLiteral("NdDownloader") << 0u << kDesktopEntry << title << text << actions << hints << -1;
    auto* call = new QDBusPendingCallWatcher(Bus.asyncCall(message), this);
    connect(
        call, &QDBusPendingCallWatcher::finished, this, [this, title, text, folder](QDBusPendingCallWatcher* answered) {
            onNoticeAnswered(answered, title, text, folder);
        });
}

void NdDesktopNotifier::onNoticeAnswered(
    QDBusPendingCallWatcher* call, const QString& title, const QString& text, const QString& folder)
{
    call->deleteLater();
    const QDBusPendingReply<uint> reply = *call;
    if (!reply.isError()) {
        NoticeFolders.insert(reply.value(), folder);
        return;
    }
    ND_LOG(LogWarn, "no desktop notification service: %s", qUtf8Printable(reply.error().name()));
    ShowTrayMessage(title, text, folder);
}

// The service reports the actions of every program's notices: only the ids it
// gave this object's notices count. A notice the service keeps on show may be
// clicked again; its folder goes when the service closes it.
void NdDesktopNotifier::onActionInvoked(uint id, const QString& action)
{
    const auto notice = NoticeFolders.constFind(id);
    if (action == kDefaultAction && notice != NoticeFolders.constEnd())
        OpenFolder(notice.value());
}

void NdDesktopNotifier::onNotificationClosed(uint id, uint)
{
    NoticeFolders.remove(id);
}

bool NdDesktopNotifier::ShowTrayMessage(const QString& title, const QString& text, const QString& folder)
{
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return false;
    if (!TrayIcon) {
        TrayIcon = new QSystemTrayIcon(QGuiApplication::windowIcon(), this);
        connect(TrayIcon, &QSystemTrayIcon::messageClicked, this, &NdDesktopNotifier::onTrayMessageClicked);
        connect(&TrayHideTimer, &QTimer::timeout, TrayIcon, &QSystemTrayIcon::hide);
    }
    TrayFolder = folder;
    TrayIcon->show();
    TrayIcon->showMessage(title, text, QSystemTrayIcon::Information, kTrayMessageMs);
    TrayHideTimer.start();
    return true;
}

void NdDesktopNotifier::onTrayMessageClicked()
{
    TrayHideTimer.stop();
    TrayIcon->hide();
    OpenFolder(TrayFolder);
}

void NdDesktopNotifier::OpenFolder(const QString& folder)
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}
