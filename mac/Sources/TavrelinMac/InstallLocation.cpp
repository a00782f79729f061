#include "TavrelinMac/InstallLocation.h"

#include "Base/Text.h"
#include "TavrelinMac/BundleSwap.h"
#include "TavrelinMac/InstalledCopy.h"
#include "TavrelinMac/Logging.h"
#include "TavrelinMac/Words.h"

#include <exception>

namespace tavrelin {

bool InstallLocation::offerMoveToApplicationsIfSensible() {
    const std::string path = bundle_.path();
    if (isInstalled(copyPlace(path, bundle_.homeDirectory())))
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
    BundleSwap swap(files_, destination, "moving");
    swap.stage(source, BundleSwap::Take::copy);
    swap.swap();
}

} // namespace tavrelin
