#pragma once

#include "Base/Text.h"

#include <optional>
#include <string>
#include <string_view>

// Where things sit inside the application bundle, and what it is called.
// Written once here: the updater, the relaunch, the desktop entries and the
// verifier all find the agent through these. The build lays the bundle out
// the same way and says so in <build>/bundle-layout, which the install and
// release scripts read (a test holds the two together).
namespace tavrelin::bundle {

// The agent's own identifier; a new bundle must carry the same one.
inline constexpr std::string_view identifier = "com.tavrelin.mac";
// The information file, relative to the bundle's folder.
inline constexpr std::string_view infoPlist = "Contents/Info.plist";
// The folder of the bundle's programs, the agent's and the signature
// checker beside it.
inline constexpr std::string_view programs = "Contents/MacOS";
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

// The bundle holding `program` when it stands among a bundle's programs
// (<name>.app/Contents/MacOS/<program>); none otherwise.
inline std::optional<std::string> holding(std::string_view program) {
    const std::string folder = text::splitPath(program).folder;
    const std::string below = "/" + std::string(programs);
    if (!folder.ends_with(below))
        return std::nullopt;
    std::string bundle = folder.substr(0, folder.size() - below.size());
    const std::string name = text::splitPath(bundle).name;
    if (name.size() <= 4 || !name.ends_with(".app"))
        return std::nullopt;
    return bundle;
}

} // namespace tavrelin::bundle
