#pragma once

#include <QDBusConnection>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

// One Notify call as the test notification service received it.
struct NdTestNotice
{
    QString AppName;
    QString Summary;
    QString Body;
    QStringList Actions;
    uint Id = 0; // the id the service answered with
};

// A desktop notification service of the test's own: owns
// "org.freedesktop.Notifications" on a connection of its own to the session
// bus, records every notice and answers with ids counted from 1. Tests run it
// on a bus of their own (dbus-run-session with NdTestSessionBus.conf), never on
// the user's session.
class NdTestNotificationService : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    NdTestNotificationService();
    ~NdTestNotificationService() override;

    // False when there is no session bus or the name is taken.
    bool Start();
    const QList<NdTestNotice>& Notices() const { return Received; }
    // What the desktop sends when the user picks an action of a notice.
    bool InvokeAction(uint id, const QString& action);

public slots:
    // The method of the service, under its name on the bus.
    uint Notify(const QString& appName, uint replacesId, const QString& appIcon, const QString& summary,
        const QString& body, const QStringList& actions, const QVariantMap& hints, int expireTimeout);

private:
    QDBusConnection Bus;
    QList<NdTestNotice> Received;
};
