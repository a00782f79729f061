#include "Platform/Qt/QtTrayHost.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QFile>
#include <QGuiApplication>

#include <xcb/xcb.h>

#include <cstdlib>
#include <string>

namespace tavrelin::qt {
namespace {

const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString portalSettings = QStringLiteral("org.freedesktop.portal.Settings");

xcb_connection_t* x11Connection() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

std::uint32_t atom(xcb_connection_t* connection, const std::string& name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(name.size()), name.c_str()), nullptr);
    if (!reply)
        return 0;
    std::uint32_t value = reply->atom;
    std::free(reply);
    return value;
}

// The X screen the display name points at: ":0.1" is screen 1.
int screenNumber() {
    const QByteArray display = qgetenv("DISPLAY");
    const qsizetype colon = display.lastIndexOf(':');
    const qsizetype dot = display.indexOf('.', colon < 0 ? 0 : colon);
    return dot < 0 ? 0 : display.mid(dot + 1).toInt();
}

// The portal's answer may come wrapped in one variant more than documented.
PanelScheme schemeFrom(QVariant value) {
    while (value.canConvert<QDBusVariant>() && value.userType() == qMetaTypeId<QDBusVariant>())
        value = value.value<QDBusVariant>().variant();
    bool ok = false;
    const uint preference = value.toUInt(&ok);
    if (!ok)
        return PanelScheme::unknown;
    // 1: prefer dark, 2: prefer light, 0: no preference.
    return preference == 1 ? PanelScheme::dark : preference == 2 ? PanelScheme::light : PanelScheme::unknown;
}

} // namespace

QtTrayHost::QtTrayHost() {
    if (xcb_connection_t* connection = x11Connection()) {
        // A tray manager announces itself with a MANAGER message on the root
        // window, which Qt already listens to.
        managerAtom_ = atom(connection, "MANAGER");
        traySelection_ = atom(connection, "_NET_SYSTEM_TRAY_S" + std::to_string(screenNumber()));
        QCoreApplication::instance()->installNativeEventFilter(this);
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        watcher_ = new QDBusServiceWatcher(
            watcherService, bus, QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration, this);
        connect(watcher_, &QDBusServiceWatcher::serviceRegistered, this, &QtTrayHost::askForHost);
        connect(watcher_, &QDBusServiceWatcher::serviceUnregistered, this, [this] { hostRegistered_ = false; });
        bus.connect(watcherService, watcherPath, watcherService, QStringLiteral("StatusNotifierHostRegistered"), this,
                    SLOT(hostRegistered()));
        bus.connect(portalService, portalPath, portalSettings, QStringLiteral("SettingChanged"), this,
                    SLOT(portalSettingChanged(QString, QString, QDBusVariant)));
        readScheme();
        askForHost();
    }
}

QtTrayHost::~QtTrayHost() {
    if (managerAtom_ && QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(this);
}

void QtTrayHost::hostRegistered() {
    askForHost();
}

bool QtTrayHost::statusNotifierHostPresent() const {
    return hostRegistered_;
}

void QtTrayHost::askForHost() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    // Asked, never waited for: a watcher that hangs must not hold up the
    // main thread. The answer, when it comes, counts as a change.
    QDBusMessage get = QDBusMessage::createMethodCall(watcherService, watcherPath, "org.freedesktop.DBus.Properties", "Get");
    get << watcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    get.setAutoStartService(false);
    auto* pending = new QDBusPendingCallWatcher(bus.asyncCall(get), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
        const QDBusMessage reply = call->reply();
        const bool registered = reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
                                reply.arguments().front().value<QDBusVariant>().variant().toBool();
        call->deleteLater();
        if (registered)
            askWhoHosts();
        if (registered != hostRegistered_) {
            hostRegistered_ = registered;
            emit changed();
        }
    });
}

QtTrayHost::HostColours QtTrayHost::coloursOfHost(const std::string& program) {
    // The shell's top bar is dark under the light and default preferences too.
    if (program == "gnome-shell")
        return {HostPanel::own, PanelScheme::dark};
    // Themes of their own; an XFCE plugin may run in a wrapper process.
    if (program == "lxqt-panel" || program == "xfce4-panel" || program.starts_with("wrapper-"))
        return {HostPanel::own, PanelScheme::unknown};
    return {};
}

void QtTrayHost::askWhoHosts() {
    // The watcher is the host's own (a panel or the shell's extension): its
    // program tells which panel draws the icon.
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                                       "GetConnectionUnixProcessID");
    call << watcherService;
    auto* pending = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
        QDBusPendingReply<uint> reply = *call;
        call->deleteLater();
        HostColours colours;
        if (!reply.isError()) {
            QFile comm(QStringLiteral("/proc/%1/comm").arg(reply.value()));
            if (comm.open(QIODevice::ReadOnly))
                colours = coloursOfHost(comm.readAll().trimmed().toStdString());
        }
        const PanelScheme before = scheme();
        hostPanel_ = colours.panel;
        hostScheme_ = colours.scheme;
        if (scheme() != before)
            emit schemeChanged();
    });
}

bool QtTrayHost::xembedTrayPresent() const {
    xcb_connection_t* connection = x11Connection();
    if (!connection || !traySelection_)
        return false;
    xcb_get_selection_owner_reply_t* reply =
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, traySelection_), nullptr);
    if (!reply)
        return false;
    const bool owned = reply->owner != XCB_NONE;
    std::free(reply);
    return owned;
}

bool QtTrayHost::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (eventType != "xcb_generic_event_t")
        return false;
    auto* event = static_cast<xcb_generic_event_t*>(message);
    if ((event->response_type & ~0x80) != XCB_CLIENT_MESSAGE)
        return false;
    auto* client = reinterpret_cast<xcb_client_message_event_t*>(event);
    if (client->type == managerAtom_ && client->format == 32 && client->data.data32[1] == traySelection_)
        QMetaObject::invokeMethod(this, &QtTrayHost::changed, Qt::QueuedConnection);
    return false; // Qt's own tray code wants it too
}

void QtTrayHost::readScheme() {
    QDBusMessage call = QDBusMessage::createMethodCall(portalService, portalPath, portalSettings, QStringLiteral("Read"));
    call << QStringLiteral("org.freedesktop.appearance") << QStringLiteral("color-scheme");
    // Asynchronous: the portal may be started on demand, and slowly.
    auto* pending = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
        QDBusPendingReply<QVariant> reply = *call;
        if (!reply.isError())
            setScheme(schemeFrom(reply.value()));
        call->deleteLater();
    });
}

void QtTrayHost::portalSettingChanged(const QString& group, const QString& key, const QDBusVariant& value) {
    if (group == QLatin1String("org.freedesktop.appearance") && key == QLatin1String("color-scheme"))
        setScheme(schemeFrom(value.variant()));
}

void QtTrayHost::setScheme(PanelScheme scheme) {
    if (scheme == scheme_)
        return;
    const PanelScheme before = this->scheme();
    scheme_ = scheme;
    if (this->scheme() != before)
        emit schemeChanged();
}

} // namespace tavrelin::qt
