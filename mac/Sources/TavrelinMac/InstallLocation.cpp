#include "TavrelinMac/InstallLocation.h"

#include "Base/Text.h"
#include "TavrelinMac/InstalledCopy.h"
#include "TavrelinMac/Logging.h"
#include "TavrelinMac/Words.h"

#include <exception>

namespace tavrelin {

bool InstallLocation::offerMoveToApplicationsIfSensible() {
    const std::string path = bundle_.path();
    if (isInstalledCopy(path, bundle_.homeDirectory()))
        return false;
    if (path.find("/brannock/") != std::string::npos)
        return false; // a development build inside the project folder
    if (defaults_.boolForKey(declinedMoveKey))
        return false;

    const auto [folder, bundleName] = text::splitPath(path);
    const auto answer = dialogs_.run({platform::AlertStyle::warning,
                                      words::move::title(),
                                      words::move::text(folder),
                                      {words::move::moveButton(), words::move::notNow()}});
    if (!answer)
        return true; // quitting: nobody answered, so nothing is recorded
    if (*answer != platform::firstButton) {
        defaults_.setBool(declinedMoveKey, true);
        return false;
    }

    const std::string applications = workspace_.applicationsFolder();
    const std::string destination = applications + "/" + bundleName;
    try {
        files_.createDirectories(applications);
        copyBundleInto(path, destination);
    } catch (const std::exception& error) {
        Log::warn(std::string("could not move to /Applications: ") + error.what() + "; continuing in place");
        return false;
    }

    try {
        workspace_.relaunch(destination);
    } catch (const std::exception& error) {
        // The copy is in place but nothing would start it: quitting now would
        // leave no agent running, so this one carries on.
        Log::warn(std::string("moved to /Applications but could not relaunch from there: ") + error.what() +
                  "; continuing in place");
        return false;
    }
    Log::info("moved to /Applications; relaunching from there");
    application_.terminate();
    return true;
}

void InstallLocation::copyBundleInto(const std::string& source, const std::string& destination) {
    const auto [folder, name] = text::splitPath(destination);
    // Hidden names beside the destination, so every rename stays within one
    // file system: the copy goes in only once complete, and the old copy is set
    // aside rather than deleted until the new one is in place.
    const std::string staging = folder + "/." + name + ".moving";
    const std::string previous = folder + "/." + name + ".previous";
    auto removeQuietly = [this](const std::string& path) {
        try {
            if (files_.exists(path))
                files_.remove(path);
        } catch (const std::exception&) {
            // A leftover is harmless; the next move removes it.
        }
    };
    try {
        if (files_.exists(staging))
            files_.remove(staging); // left over from an interrupted move
        files_.copy(source, staging);
    } catch (...) {
        removeQuietly(staging);
        throw;
    }
    const bool hadOldCopy = files_.exists(destination);
    try {
        if (hadOldCopy) {
            if (files_.exists(previous))
                files_.remove(previous);
            files_.rename(destination, previous);
        }
        files_.rename(staging, destination);
    } catch (...) {
        if (hadOldCopy && !files_.exists(destination) && files_.exists(previous)) {
            try {
                files_.rename(previous, destination);
            } catch (const std::exception&) {
                // The original failure is the one worth reporting.
            }
        }
        removeQuietly(staging);
        throw;
    }
    removeQuietly(previous);
}

} // namespace tavrelin
