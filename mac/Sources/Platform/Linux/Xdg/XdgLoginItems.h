#pragma once

#include "Platform/Files.h"
#include "Platform/LoginItems.h"

#include <memory>
#include <string>

class QFileSystemWatcher;

namespace tavrelin::xdg {

// The agent's desktop entries for one user: the autostart entry in
// $XDG_CONFIG_HOME/autostart, the link handler's in
// $XDG_DATA_HOME/applications, and its default in $XDG_CONFIG_HOME/mimeapps.list.
// Files are written atomically.
class XdgLoginItems final : public platform::LoginItems {
public:
    // The per-user folders as the agent finds them.
    explicit XdgLoginItems(platform::Files& files);
    XdgLoginItems(platform::Files& files, std::string configHome, std::string dataHome);
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
    std::unique_ptr<QFileSystemWatcher> watcher_;
    std::function<void()> changed_;
};

} // namespace tavrelin::xdg
