#pragma once

#include "Base/Text.h"

#include <string>
#include <string_view>

namespace tavrelin {

// Where a bundle stands with respect to the Applications folders: the one
// rule for "is this copy installed". Paths are compared as text; links are
// not resolved.
enum class CopyPlace {
    elsewhere,         // outside /Applications and ~/Applications
    belowApplications, // in a folder inside one of them (/Applications/Utilities/Tavrelin.app)
    inApplications,    // directly in one of them (/Applications/Tavrelin.app)
};

inline CopyPlace copyPlace(std::string_view bundlePath, std::string_view home) {
    const std::string folders[] = {"/Applications", std::string(home) + "/Applications"};
    for (const std::string& folder : folders) {
        if (!bundlePath.starts_with(folder + "/"))
            continue;
        const text::PathParts parts = text::splitPath(bundlePath);
        if (parts.name.empty() || parts.folder.size() < folder.size())
            continue; // the folder itself, not a copy inside it
        return parts.folder == folder ? CopyPlace::inApplications : CopyPlace::belowApplications;
    }
    return CopyPlace::elsewhere;
}

// An installed copy is offered no move, starts at login and handles the
// product's links by itself.
inline bool isInstalled(CopyPlace place) {
    return place != CopyPlace::elsewhere;
}

// Only a copy directly in an Applications folder replaces itself with an
// update: the swap puts the new bundle exactly where the running one stands.
inline bool replacesItself(CopyPlace place) {
    return place == CopyPlace::inApplications;
}

} // namespace tavrelin
