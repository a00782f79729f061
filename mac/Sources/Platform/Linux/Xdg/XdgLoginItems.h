#pragma once

#include "Platform/Drawing.h"
#include "Platform/Files.h"
#include "Platform/Linux/Xdg/IconTheme.h"
#include "Platform/LoginItems.h"

#include <memory>
#include <optional>
#include <string>

class QFileSystemWatcher;

namespace tavrelin::xdg {

// The agent's desktop entries for one user: the autostart entry in
// $XDG_CONFIG_HOME/autostart, the link handler's in
// $XDG_DATA_HOME/applications, and its default in $XDG_CONFIG_HOME/mimeapps.list.
// Both entries name the icon that comes and goes with the link handler's
// entry, in the icon theme under $XDG_DATA_HOME/icons, when there is one to
// draw. Files are written atomically.
class XdgLoginItems final : public platform::LoginItems {
public:
    // The per-user folders as the agent finds them.
    explicit XdgLoginItems(platform::Files& files, std::optional<platform::Drawing> icon = std::nullopt);
    XdgLoginItems(platform::Files& files, std::string configHome, std::string dataHome,
                  std::optional<platform::Drawing> icon = std::nullopt);
    ~XdgLoginItems() override;

    LoginEntry loginEntry(const std::string& bundlePath) const override;
    void writeLoginEntry(const std::string& bundlePath) override;
    void removeLoginEntry() override;
    bool handlesLinks(const std::string& bundlePath) const override;
    void writeLinkHandler(const std::string& bundlePath) override;
    void removeLinkHandler() override;
    // Needs a Qt event loop.
    void watchLoginEntry(std::function<void()> changed) override;

    std::string loginEntryPath() const;
    std::string linkHandlerPath() const;
    std::string defaultsPath() const;

private:
    void rewatch();

    platform::Files& files_;
    std::string configHome_, dataHome_;
    std::optional<HicolorIcon> icon_;
    std::unique_ptr<QFileSystemWatcher> watcher_;
    std::function<void()> changed_;
};

} // namespace tavrelin::xdg
