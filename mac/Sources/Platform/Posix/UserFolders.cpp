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
    std::string home = homeDirectory();
    return (home == "/" ? "" : home) + underHome;
}

} // namespace tavrelin::posix
