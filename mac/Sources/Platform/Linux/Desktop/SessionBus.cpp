#include "Platform/Linux/Desktop/SessionBus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>

namespace tavrelin::qt {

std::optional<std::string> sessionBusLacks(const std::string& name) {
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return "no session bus: " + bus.lastError().message().toStdString();
    QDBusConnectionInterface* daemon = bus.interface();
    const QString wanted = QString::fromStdString(name);
    if (daemon->isServiceRegistered(wanted).value())
        return std::nullopt;
    const QDBusReply<QStringList> startable = daemon->activatableServiceNames();
    if (startable.isValid() && startable.value().contains(wanted))
        return std::nullopt;
    return "nothing on the session bus owns or starts " + name;
}

} // namespace tavrelin::qt
