#include "Platform/Posix/UserFolders.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace tavrelin::posix {
namespace {

const char* absolute(const char* value) {
    return value && value[0] == '/' ? value : nullptr;
}

} // namespace

std::string homeDirectory() {
    if (const char* home = absolute(std::getenv("HOME")))
        return home;
    if (const passwd* entry = ::getpwuid(::getuid()); entry && absolute(entry->pw_dir))
        return entry->pw_dir;
    return "/";
}

std::string userFolder(UserFolder folder) {
    std::string home = homeDirectory();
    if (home == "/")
        home.clear();
#if defined(__APPLE__)
    // The system's own per-user folders; macOS has no XDG variables.
    switch (folder) {
    case UserFolder::data:
        return home + "/Library/Application Support";
    case UserFolder::config:
        return home + "/Library/Preferences";
    case UserFolder::cache:
        break;
    }
    return home + "/Library/Caches";
#else
    const char* variable = "XDG_DATA_HOME";
    const char* underHome = "/.local/share";
    switch (folder) {
    case UserFolder::data:
        break;
    case UserFolder::config:
        variable = "XDG_CONFIG_HOME";
        underHome = "/.config";
        break;
    case UserFolder::cache:
        variable = "XDG_CACHE_HOME";
        underHome = "/.cache";
        break;
    }
    if (const char* value = absolute(std::getenv(variable)))
        return value;
    return home + underHome;
#endif
}

} // namespace tavrelin::posix
