#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The texts of the agent's desktop entries and of the desktop's list of
// default handlers (mimeapps.list), as the freedesktop.org rules write them.
namespace tavrelin::xdg {

// Both entries carry this name: the desktop knows the agent by it.
inline constexpr std::string_view desktopId = "tavrelin-agent.desktop";
inline constexpr std::string_view linkMimeType = "x-scheme-handler/tavrelin";
// The icon both entries name, in the person's icon theme.
inline constexpr std::string_view iconName = "tavrelin-agent";

// The Exec key's program part for a path: quoted (with `"`, `` ` ``, `$` and
// `\` escaped) only when it holds a character the key reserves, `%` doubled,
// then escaped as any string value is. A plain path stays plain, as simple
// launchers that split Exec at blanks expect; a path with `%` is handed to
// /bin/sh as an argument, since GLib looks for the program before undoing
// `%%`. Throws std::invalid_argument for text a desktop entry cannot hold
// (not UTF-8, or control characters other than tab and line breaks).
std::string execProgram(std::string_view path);
// A value of string type: backslash, tab and line breaks escaped.
std::string stringValue(std::string_view text);

// The entry that starts `agentPath` at login, and the one that opens links
// with it; both exactly as written, so a current entry is told by equality.
std::string loginEntry(std::string_view agentPath);
std::string linkHandlerEntry(std::string_view agentPath);

// Reading an entry: the value of `key` in its [Desktop Entry] group (the
// last one when repeated) with the string escapes undone; none when absent.
std::optional<std::string> value(std::string_view entry, std::string_view key);
// An Exec value split into the program and its arguments by the quoting
// rules, field codes (%u, %F, …) dropped and "%%" read as "%".
std::vector<std::string> execArguments(std::string_view exec);

// Whether the entry's own keys say not to start it (the desktop's session
// settings write Hidden=true, or GNOME's X-GNOME-Autostart-enabled=false).
bool disabledInEntry(std::string_view entry);

// mimeapps.list with `mimeType`'s default set to `id` alone, everything else
// kept as it was; the first id listed as its default; and the list with `id`
// taken out of that default (the line and an emptied group go with it).
std::string withDefault(std::string_view list, std::string_view mimeType, std::string_view id);
std::optional<std::string> defaultFor(std::string_view list, std::string_view mimeType);
std::string withoutDefault(std::string_view list, std::string_view mimeType, std::string_view id);

} // namespace tavrelin::xdg
