#include "NdTestNotificationService.h"

#include <QDBusMessage>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kConnectionName = QStringLiteral("NdTestNotificationService");

} // namespace

NdTestNotificationService::NdTestNotificationService()
    : m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus, kConnectionName))
{ }

NdTestNotificationService::~NdTestNotificationService()
{
    m_bus.unregisterService(kService);
    m_bus.unregisterObject(kPath);
    QDBusConnection::disconnectFromBus(kConnectionName);
}

bool NdTestNotificationService::Start()
{
    return m_bus.isConnected() && m_bus.registerObject(kPath, this, QDBusConnection::ExportAllSlots)
        && m_bus.registerService(kService);
}

bool NdTestNotificationService::InvokeAction(uint id, const QString& action)
{
    QDBusMessage signal = QDBusMessage::createSignal(kPath, kService, QStringLiteral("ActionInvoked"));
    signal << id << action;
    return m_bus.send(signal);
}

uint NdTestNotificationService::Notify(const QString& appName, uint, const QString&, const QString& summary,
    const QString& body, const QStringList& actions, const QVariantMap&, int)
{
    const uint id = static_cast<uint>(m_notices.size()) + 1;
    m_notices << NdTestNotice{appName, summary, body, actions, id};
    return id;
}
