#pragma once

#include <string>
#include <string_view>

namespace tavrelin {

// The one rule for an installed copy: its bundle sits in /Applications or in
// the user's own Applications folder (at any depth, as in
// /Applications/Utilities). Only such a copy is offered no move, starts at
// login and handles the product's links by itself.
inline bool isInstalledCopy(std::string_view bundlePath, std::string_view home) {
    return bundlePath.starts_with("/Applications/") ||
           (bundlePath.starts_with(home) && bundlePath.substr(home.size()).starts_with("/Applications/"));
}

} // namespace tavrelin
