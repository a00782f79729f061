#pragma once

#include "Platform/Qt/QtTrayHost.h"
#include "Platform/StatusItem.h"

#include <QMenu>
#include <QObject>
#include <QPoint>
#include <QSystemTrayIcon>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace tavrelin::platform {
class MainLoop;
class Timer;
} // namespace tavrelin::platform

namespace tavrelin::qt {

// The status item as a tray icon with a context menu, on a StatusNotifier
// host or an XEmbed tray alike.
//
// One menu lives as long as the item, and its entries are updated in place
// as the state changes. Entries are known by their ids: an entry keeps its
// QAction (and so its id on the StatusNotifier menu bus) while it exists,
// whatever appears before or after it, so a host clicking from an older
// layout still reaches it. An entry that goes is hidden, not deleted, and
// keeps its id should it come back. A host that asks to show the menu gets an
// answer at once: the menu already follows the state. While the menu is open
// its texts are refreshed every second ("Last checked 10s ago"); while it is
// closed no timer runs.
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

    // Needs a QApplication; its timers run on `mainLoop`. Without `host` the
    // item never shows a tray icon by itself (trayAppeared() still makes one).
    explicit QtStatusItem(platform::MainLoop& mainLoop, std::shared_ptr<QtTrayHost> host = nullptr, Callbacks callbacks = {});
    ~QtStatusItem() override;

    bool hasButton() const override { return true; }
    void setImage(const platform::Drawing& image) override;
    void setToolTip(const std::string& toolTip) override;
    void setMenuProvider(std::function<std::vector<platform::MenuItem>()> provider) override;
    // Opens the menu at the icon, where the tray tells where that is.
    void performClick() override;
    bool isShown() const override { return tray_ != nullptr; }
    bool canOpenMenuAtIcon() const override { return iconPoint().has_value(); }

    // Asks the provider now and brings the menu up to date in place.
    void syncMenu();
    // Sends what changed to the tray now instead of at the next flush.
    void flush();
    // Makes the tray icon, if there is none yet.
    void trayAppeared();

    QMenu& menu() { return menu_; }
    QSystemTrayIcon* trayIcon() { return tray_.get(); }
    // Images sent to the tray so far.
    int iconUpdates() const { return iconUpdates_; }

    // The fastest pace of images, tool tips and menu changes sent to the tray.
    static constexpr double flushSeconds = 0.25;
    // How often an open menu's texts are refreshed.
    static constexpr double agingSeconds = 1;
    // A host that never says the menu closed stops the refreshing after this
    // many refreshes (three minutes).
    static constexpr int longestOpenRefreshes = 180;
    // How long after start a missing tray counts as no tray. At a login the
    // desktop starts the agent beside its panel, and a panel's tray comes
    // seconds later, more on a cold start; a desktop without one loses
    // nothing by hearing of it a minute in, while one told too early reads
    // "no tray" beside the icon.
    static constexpr double trayGraceSeconds = 60;
    // Hidden entries kept per menu level for ids that may come back; beyond
    // this the hidden ones are deleted.
    static constexpr std::size_t hiddenEntriesKept = 32;

    struct Entry;
    struct Level {
        QMenu* menu = nullptr;
        std::vector<std::unique_ptr<Entry>> entries; // in the menu's order, hidden ones included
    };

private:
    void scheduleFlush();
    void reconsider();
    void update(Level& level, const std::vector<platform::MenuItem>& items);
    std::unique_ptr<Entry> makeEntry(Level& level, const std::string& key, const platform::MenuItem& item);
    void prune(Level& level);
    void forget(const Entry& entry);
    void menuOpened();
    void menuClosed();
    void age();
    void checkTray();
    IconColors colors() const;
    // Where the icon is on screen, as far as the tray has told.
    std::optional<QPoint> iconPoint() const;

    platform::MainLoop& mainLoop_;
    std::shared_ptr<QtTrayHost> host_;
    Callbacks callbacks_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    QMenu menu_;
    Level top_;
    std::unordered_map<QAction*, std::function<void()>> actions_;
    std::function<std::vector<platform::MenuItem>()> provider_;

    std::unique_ptr<platform::Timer> flush_; // pending while something waits for the tray
    bool menuDirty_ = false;
    std::string shownSignature_; // of the items the menu shows
    std::optional<platform::Drawing> image_;
    std::optional<platform::Drawing> exportedImage_;
    std::string toolTip_;
    std::optional<std::string> exportedToolTip_;
    int iconUpdates_ = 0;

    std::unique_ptr<platform::Timer> aging_; // while the menu is open
    int agingRefreshes_ = 0;
    std::unique_ptr<platform::Timer> grace_;
    bool madeWithoutTray_ = false;
    std::optional<QPoint> clickedAt_; // where the host last said the icon was clicked
};

class QtStatusBar final : public platform::StatusBar {
public:
    // Watches the desktop for a tray; callbacks as QtStatusItem's.
    explicit QtStatusBar(platform::MainLoop& mainLoop, QtStatusItem::Callbacks callbacks = {});
    std::unique_ptr<platform::StatusItem> makeStatusItem() override;

private:
    platform::MainLoop& mainLoop_;
    QtStatusItem::Callbacks callbacks_;
    std::shared_ptr<QtTrayHost> host_;
};

} // namespace tavrelin::qt
