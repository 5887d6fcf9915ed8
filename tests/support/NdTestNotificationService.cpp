#include "NdTestNotificationService.h"

#include <QDBusMessage>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kConnectionName = QStringLiteral("NdTestNotificationService");

} // namespace

NdTestNotificationService::NdTestNotificationService()
    : Bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus, kConnectionName))
{ }

NdTestNotificationService::~NdTestNotificationService()
{
    Bus.unregisterService(kService);
    Bus.unregisterObject(kPath);
    QDBusConnection::disconnectFromBus(kConnectionName);
}

bool NdTestNotificationService::Start()
{
    return Bus.isConnected() && Bus.registerObject(kPath, this, QDBusConnection::ExportAllSlots)
        && Bus.registerService(kService);
}

bool NdTestNotificationService::InvokeAction(uint id, const QString& action)
{
    QDBusMessage signal = QDBusMessage::createSignal(kPath, kService, QStringLiteral("ActionInvoked"));
    signal << id << action;
    return Bus.send(signal);
}

uint NdTestNotificationService::Notify(const QString& appName, uint, const QString&, const QString& summary,
    const QString& body, const QStringList& actions, const QVariantMap&, int)
{
    const uint id = static_cast<uint>(Received.size()) + 1;
    Received << NdTestNotice{appName, summary, body, actions, id};
    return id;
}
