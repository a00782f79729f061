#include "Platform/Linux/Xdg/XdgLoginItems.h"

#include "Base/Text.h"
#include "Platform/BundleLayout.h"
#include "Platform/Linux/Xdg/DesktopEntry.h"
#include "Platform/Posix/UserFolders.h"

#include <QFileSystemWatcher>
#include <QString>

#include <stdexcept>

namespace tavrelin::xdg {
namespace {

constexpr std::size_t maxEntryBytes = 64 * 1024;
constexpr std::size_t maxDefaultsBytes = 1024 * 1024;

std::string agentOf(const std::string& bundlePath) {
    return bundle::inside(bundlePath, bundle::agent);
}

// The entry's text, or the reason it cannot be written, as a file error.
template <class Make> std::string entryText(Make make, const std::string& agent, const std::string& path) {
    try {
        return make(agent);
    } catch (const std::invalid_argument& error) {
        throw platform::FileError("cannot write " + path + " for " + agent + ": " + error.what());
    }
}

} // namespace

XdgLoginItems::XdgLoginItems(platform::Files& files, std::optional<platform::Drawing> icon)
    : XdgLoginItems(files, posix::userFolder(posix::UserFolder::config), posix::userFolder(posix::UserFolder::data),
                    std::move(icon)) {}

XdgLoginItems::XdgLoginItems(platform::Files& files, std::string configHome, std::string dataHome,
                             std::optional<platform::Drawing> icon)
    : files_(files), configHome_(std::move(configHome)), dataHome_(std::move(dataHome)) {
    if (icon)
        icon_.emplace(files_, dataHome_, std::string(iconName), std::move(*icon));
}

XdgLoginItems::~XdgLoginItems() = default;

std::string XdgLoginItems::loginEntryPath() const {
    return configHome_ + "/autostart/" + std::string(desktopId);
}

std::string XdgLoginItems::linkHandlerPath() const {
    return dataHome_ + "/applications/" + std::string(desktopId);
}

std::string XdgLoginItems::defaultsPath() const {
    return configHome_ + "/mimeapps.list";
}

platform::LoginItems::LoginEntry XdgLoginItems::loginEntry(const std::string& bundlePath) const {
    const std::string path = loginEntryPath();
    if (files_.kind(path) == platform::EntryKind::missing)
        return LoginEntry::none;
    const auto text = files_.readRegularFile(path, maxEntryBytes);
    if (!text)
        return LoginEntry::otherCopy; // not a file we would write: ours replaces it
    try {
        if (*text == xdg::loginEntry(agentOf(bundlePath)))
            return LoginEntry::thisCopy;
    } catch (const std::invalid_argument&) {
        // No entry can name this copy; whatever is there names another.
    }
    return disabledInEntry(*text) ? LoginEntry::turnedOffByDesktop : LoginEntry::otherCopy;
}

void XdgLoginItems::writeLoginEntry(const std::string& bundlePath) {
    const std::string path = loginEntryPath();
    const std::string text = entryText(xdg::loginEntry, agentOf(bundlePath), path);
    files_.createDirectories(text::splitPath(path).folder);
    files_.writeAtomically(path, text);
}

void XdgLoginItems::removeLoginEntry() {
    if (files_.exists(loginEntryPath()))
        files_.remove(loginEntryPath());
}

bool XdgLoginItems::handlesLinks(const std::string& bundlePath) const {
    const auto entry = files_.readRegularFile(linkHandlerPath(), maxEntryBytes);
    const auto defaults = files_.readRegularFile(defaultsPath(), maxDefaultsBytes);
    try {
        return entry && *entry == linkHandlerEntry(agentOf(bundlePath)) && defaults &&
               defaultFor(*defaults, linkMimeType) == std::string(desktopId) && (!icon_ || icon_->isCurrent());
    } catch (const std::invalid_argument&) {
        return false;
    }
}

void XdgLoginItems::writeLinkHandler(const std::string& bundlePath) {
    const std::string path = linkHandlerPath();
    const std::string text = entryText(linkHandlerEntry, agentOf(bundlePath), path);
    // Read before anything is written: a list that cannot be read is never
    // replaced by one holding only our line.
    const std::string defaults = defaultsPath();
    std::optional<std::string> list;
    if (files_.kind(defaults) != platform::EntryKind::missing && !(list = files_.readRegularFile(defaults, maxDefaultsBytes)))
        throw platform::FileError("cannot read " + defaults + "; it is left as it is");
    // The icon first: the entry names it.
    if (icon_)
        icon_->write();
    files_.createDirectories(text::splitPath(path).folder);
    files_.writeAtomically(path, text);
    const std::string updated = withDefault(list.value_or(""), linkMimeType, desktopId);
    if (updated != list) {
        files_.createDirectories(configHome_);
        files_.writeAtomically(defaults, updated);
    }
}

void XdgLoginItems::removeLinkHandler() {
    if (files_.exists(linkHandlerPath()))
        files_.remove(linkHandlerPath());
    if (icon_)
        icon_->remove();
    const std::string defaults = defaultsPath();
    if (files_.kind(defaults) == platform::EntryKind::missing)
        return;
    const auto list = files_.readRegularFile(defaults, maxDefaultsBytes);
    if (!list)
        throw platform::FileError("cannot read " + defaults + "; it is left as it is");
    const std::string updated = withoutDefault(*list, linkMimeType, desktopId);
    if (updated == *list)
        return;
    // A list that held only our default was ours to begin with.
    if (updated.find_first_not_of(" \t\r\n") == std::string::npos)
        files_.remove(defaults);
    else
        files_.writeAtomically(defaults, updated);
}

void XdgLoginItems::watchLoginEntry(std::function<void()> changed) {
    changed_ = std::move(changed);
    watcher_ = std::make_unique<QFileSystemWatcher>();
    QObject::connect(watcher_.get(), &QFileSystemWatcher::directoryChanged, watcher_.get(), [this] {
        rewatch();
        if (changed_)
            changed_();
    });
    rewatch();
}

void XdgLoginItems::rewatch() {
    // The autostart folder when there is one; until then the folder it will
    // be made in, which tells when it appears.
    const QString autostart = QString::fromStdString(text::splitPath(loginEntryPath()).folder);
    const QString config = QString::fromStdString(configHome_);
    auto isFolder = [this](const QString& path) { return files_.kind(path.toStdString()) == platform::EntryKind::folder; };
    const QStringList wanted = isFolder(autostart) ? QStringList{autostart}
                               : isFolder(config)  ? QStringList{config}
                                                   : QStringList{};
    if (watcher_->directories() == wanted)
        return;
    if (!watcher_->directories().isEmpty())
        watcher_->removePaths(watcher_->directories());
    if (!wanted.isEmpty())
        watcher_->addPaths(wanted);
}

} // namespace tavrelin::xdg
