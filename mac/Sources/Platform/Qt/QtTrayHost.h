#pragma once

#include "Platform/Qt/QtIconRenderer.h"

#include <QAbstractNativeEventFilter>
#include <QObject>

#include <cstdint>
#include <memory>
#include <string>

class QDBusServiceWatcher;
class QDBusVariant;

namespace tavrelin::qt {

// What the desktop offers for showing a tray icon: a StatusNotifier host on
// the session bus, or an XEmbed tray on the X screen. Both are watched by
// their own notifications (no polling), so an agent started before its panel
// learns when one appears.
//
// Asking Qt instead would not do: Qt decides once per process whether to talk
// StatusNotifier, and a tray icon made before the host exists never switches.
// So the icon is made only once this says a tray is there.
//
// Also reads the desktop's light or dark preference, where it tells one.
// Main thread only; needs a QGuiApplication.
class QtTrayHost final : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    QtTrayHost();
    ~QtTrayHost() override;

    // As the watcher last answered; asked when this is made and whenever a
    // watcher or host registers, and `changed` follows a new answer.
    bool statusNotifierHostPresent() const;
    bool xembedTrayPresent() const;
    bool present() const { return statusNotifierHostPresent() || xembedTrayPresent(); }

    // The colours of the panel that shows the icon: where the host keeps its
    // own whatever the preference says (GNOME Shell's top bar is dark under
    // every one; LXQt's and XFCE's panels follow their own themes, which
    // nothing tells, so they count as unknown), else the desktop's preference.
    PanelScheme scheme() const { return hostPanel_ == HostPanel::followsPreference ? scheme_ : hostScheme_; }

    // How the panel of a StatusNotifier host of this program name is coloured.
    enum class HostPanel { followsPreference, own };
    struct HostColours {
        HostPanel panel = HostPanel::followsPreference;
        PanelScheme scheme = PanelScheme::unknown; // for HostPanel::own
    };
    static HostColours coloursOfHost(const std::string& program);

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

signals:
    // A tray may have appeared; check present().
    void changed();
    void schemeChanged();

private slots:
    void hostRegistered();
    void portalSettingChanged(const QString& group, const QString& key, const QDBusVariant& value);

private:
    void askForHost();
    void askWhoHosts();
    void readScheme();
    void setScheme(PanelScheme scheme);

    QDBusServiceWatcher* watcher_ = nullptr;
    std::uint32_t managerAtom_ = 0;
    std::uint32_t traySelection_ = 0;
    PanelScheme scheme_ = PanelScheme::unknown;
    HostPanel hostPanel_ = HostPanel::followsPreference;
    PanelScheme hostScheme_ = PanelScheme::unknown;
    bool hostRegistered_ = false;
};

} // namespace tavrelin::qt
