#pragma once

#include <string>
#include <string_view>

// The texts a person reads about an installed copy on a Linux desktop: the
// menu's start-at-login switch, a copy built on this computer (which pins no
// release key), and a session whose display does not answer. Kept together
// so they move into the words table as one.
namespace tavrelin::installWords {

inline constexpr std::string_view startAtLogin = "Start at Login";

// The version line's summary and "Check for Updates…" of a copy with no
// release key: it cannot verify official builds, so it never fetches them.
inline constexpr std::string_view builtHereSummary = "Updates by running scripts/install again";
inline constexpr std::string_view builtHereTitle = "This copy updates by running scripts/install again";
inline constexpr std::string_view builtHereText =
    "It was built on this computer and holds no release signing key, so it cannot verify official updates and does "
    "not download them. To update it, run scripts/install again in the folder it was built from.";

// On standard error and in the log when no display answers.
inline std::string noDisplay(std::string_view why) {
    return "no display could be opened (" + std::string(why) +
           "); running without a tray: `tavrelin-agent --status` shows how it is doing, `tavrelin-agent --quit` quits it";
}

} // namespace tavrelin::installWords
