#pragma once

#include <string>

namespace tavrelin::posix {

enum class UserFolder { data, config, cache };

// The one rule for every per-user folder. Linux: $XDG_DATA_HOME,
// $XDG_CONFIG_HOME or $XDG_CACHE_HOME when it is absolute (a relative value
// is invalid and ignored), else the home folder with .local/share, .config or
// .cache. macOS: Library/Application Support, Preferences or Caches.
std::string userFolder(UserFolder folder);

// $HOME when it is absolute, else the user database's entry ("/" without one).
std::string homeDirectory();

} // namespace tavrelin::posix
