#pragma once

#include <string>

namespace tavrelin {

// The self-updater. For now it only carries the summary the menu shows on
// its version line.
class Updater {
public:
    // A short text describing the last update check.
    std::string lastSummary = "Not checked yet";
};

} // namespace tavrelin
