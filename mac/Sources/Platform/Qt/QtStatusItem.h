#pragma once

#include "Platform/StatusItem.h"

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>

#include <optional>
#include <vector>

namespace tavrelin::qt {

// The status item as a tray icon with a context menu. Works with a
// StatusNotifier host and with an XEmbed tray alike (QSystemTrayIcon picks).
//
// Many tray hosts show an exported menu without asking first, or show the one
// built at that moment a step late. So the menu is rebuilt from the provider
// before it shows, after every state change (a new tool tip), and every few
// seconds (its texts age, "Last checked 10s ago"); a rebuild that would give
// the same items leaves the menu alone.
class QtStatusItem final : public QObject, public platform::StatusItem {
    Q_OBJECT
public:
    // Needs a QApplication.
    QtStatusItem();
    ~QtStatusItem() override;

    bool hasButton() const override { return true; }
    void setImage(const platform::Drawing& image) override;
    void setToolTip(const std::string& toolTip) override;
    void setMenuProvider(std::function<std::vector<platform::MenuItem>()> provider) override;
    void performClick() override;

    // Asks the provider now and rebuilds the menu if anything differs.
    void rebuildMenu();

    QMenu& menu() { return menu_; }
    QSystemTrayIcon& trayIcon() { return tray_; }

    // How often the menu is refreshed while the agent runs.
    static constexpr int refreshMilliseconds = 5000;

private:
    void scheduleRebuild();
    void fill(QMenu& menu, const std::vector<platform::MenuItem>& items);

    QSystemTrayIcon tray_;
    QMenu menu_;
    QTimer refresh_;
    std::function<std::vector<platform::MenuItem>()> provider_;
    std::optional<std::string> shownSignature_;
    std::vector<QMenu*> submenus_; // children of menu_, replaced on every rebuild
    bool rebuildScheduled_ = false;
};

class QtStatusBar final : public platform::StatusBar {
public:
    std::unique_ptr<platform::StatusItem> makeStatusItem() override;
};

} // namespace tavrelin::qt
