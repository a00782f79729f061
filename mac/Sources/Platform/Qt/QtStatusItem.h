#pragma once

#include "Platform/Qt/QtTrayHost.h"
#include "Platform/StatusItem.h"

#include <QElapsedTimer>
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace tavrelin::qt {

// The status item as a tray icon with a context menu, on a StatusNotifier
// host or an XEmbed tray alike.
//
// One menu lives as long as the item, and its entries are updated in place
// as the state changes: an entry keeps its QAction (and so its id on the
// StatusNotifier menu bus) while it exists, and is hidden, not deleted, when
// it goes. A host that asks to show the menu gets an answer at once: the menu
// already follows the state. While the menu is open its texts are refreshed
// every second ("Last checked 10s ago"); while it is closed no timer runs.
//
// Images, tool tips and menu changes reach the tray at most four times a
// second, and only when they differ from what the tray shows.
//
// The tray icon is made once a tray is there (see QtTrayHost), so an agent
// started before its panel shows up when the panel does.
class QtStatusItem final : public QObject, public platform::StatusItem {
    Q_OBJECT
public:
    struct Callbacks {
        // Once, when the item finds no tray some seconds after it was made.
        std::function<void()> noTray;
        // Once, when a tray appears after the item was made without one.
        std::function<void()> trayAppeared;
    };

    // Needs a QApplication. Without `host` the item never shows a tray icon
    // by itself (trayAppeared() still makes one).
    explicit QtStatusItem(std::shared_ptr<QtTrayHost> host = nullptr, Callbacks callbacks = {});
    ~QtStatusItem() override;

    bool hasButton() const override { return true; }
    void setImage(const platform::Drawing& image) override;
    void setToolTip(const std::string& toolTip) override;
    void setMenuProvider(std::function<std::vector<platform::MenuItem>()> provider) override;
    void performClick() override;

    // Asks the provider now and brings the menu up to date in place.
    void syncMenu();
    // Sends what changed to the tray now instead of at the next flush.
    void flush();
    // Makes the tray icon, if there is none yet.
    void trayAppeared();

    QMenu& menu() { return menu_; }
    QSystemTrayIcon* trayIcon() { return tray_.get(); }
    bool menuRefreshing() const { return aging_.isActive(); }
    bool flushPending() const { return flush_.isActive(); }
    int iconUpdates() const { return iconUpdates_; }
    const QIcon& exportedIcon() const { return exportedIcon_; }

    // The fastest pace of images, tool tips and menu changes sent to the tray.
    static constexpr int flushMilliseconds = 250;
    // How often an open menu's texts are refreshed.
    static constexpr int agingMilliseconds = 1000;
    // A host that never says the menu closed stops the refreshing after this.
    static constexpr int longestOpenMilliseconds = 180000;
    // How long after start a missing tray counts as no tray.
    static constexpr int trayGraceMilliseconds = 8000;

    struct Entry;
    struct Level {
        QMenu* menu = nullptr;
        std::vector<std::unique_ptr<Entry>> entries; // in the menu's order, hidden ones included
    };

private:
    void scheduleFlush();
    void reconsider();
    void update(Level& level, const std::vector<platform::MenuItem>& items);
    void menuOpened();
    void menuClosed();
    void checkTray();
    IconColors colors() const;

    std::shared_ptr<QtTrayHost> host_;
    Callbacks callbacks_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    QMenu menu_;
    Level top_;
    std::unordered_map<QAction*, std::function<void()>> actions_;
    std::function<std::vector<platform::MenuItem>()> provider_;

    QTimer flush_;
    bool menuDirty_ = false;
    std::string shownSignature_; // of the items the menu shows
    std::optional<platform::Drawing> image_;
    std::optional<platform::Drawing> exportedImage_;
    bool exportedColors_ = false;
    QIcon exportedIcon_;
    std::string toolTip_;
    std::optional<std::string> exportedToolTip_;
    int iconUpdates_ = 0;

    QTimer aging_;
    QElapsedTimer openedAt_;
    QTimer grace_;
    bool madeWithoutTray_ = false;
};

class QtStatusBar final : public platform::StatusBar {
public:
    // Watches the desktop for a tray; callbacks as QtStatusItem's.
    explicit QtStatusBar(QtStatusItem::Callbacks callbacks = {});
    std::unique_ptr<platform::StatusItem> makeStatusItem() override;

private:
    QtStatusItem::Callbacks callbacks_;
    std::shared_ptr<QtTrayHost> host_;
};

} // namespace tavrelin::qt
