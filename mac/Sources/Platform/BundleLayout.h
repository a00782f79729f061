#pragma once

#include <string>
#include <string_view>

// Where things sit inside the application bundle, and what it is called.
// Written once here: the updater, the relaunch, the desktop entries and the
// verifier all find the agent through these.
namespace tavrelin::bundle {

// The agent's own identifier; a new bundle must carry the same one.
inline constexpr std::string_view identifier = "com.tavrelin.mac";
// The information file, relative to the bundle's folder.
inline constexpr std::string_view infoPlist = "Contents/Info.plist";
// The agent's program and the signature checker beside it.
inline constexpr std::string_view agent = "Contents/MacOS/tavrelin-agent";
inline constexpr std::string_view verifier = "Contents/MacOS/tavrelin-verify";
// The task lists in Evolution Data Server, loaded only when chosen.
inline constexpr std::string_view edsModule = "Contents/PlugIns/tavrelin-eds.so";
// The information entry pinning the key updates must be signed with; empty
// in a copy built without one.
inline constexpr std::string_view updatePublicKeyEntry = "TavrelinUpdatePublicKey";

// `bundle` + "/" + `part`, for one of the parts above.
inline std::string inside(std::string_view bundle, std::string_view part) {
    std::string path(bundle);
    path += '/';
    path += part;
    return path;
}

} // namespace tavrelin::bundle
