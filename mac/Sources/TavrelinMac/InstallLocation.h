#pragma once

#include "Platform/Application.h"
#include "Platform/Bundle.h"
#include "Platform/Files.h"
#include "Platform/Workspace.h"
#include "TavrelinMac/DialogGate.h"

#include <string>

namespace tavrelin {

// The one-time offer to move the bundle into the Applications folder and
// reopen it from there. Main thread only.
class InstallLocation {
public:
    InstallLocation(const platform::Bundle& bundle, platform::UserDefaults& defaults, platform::Files& files,
                    platform::Workspace& workspace, platform::Application& application, DialogGate& dialogs)
        : bundle_(bundle), defaults_(defaults), files_(files), workspace_(workspace), application_(application),
          dialogs_(dialogs) {}

    // True: the copy in the Applications folder is being started and
    // termination has been requested, so launch must stop at once. Also true
    // when the agent began terminating while the offer was open.
    bool offerMoveToApplicationsIfSensible();

    static constexpr const char* declinedMoveKey = "com.tavrelin.mac.declinedMoveToApplications";

private:
    // Copies the bundle into place without ever leaving the destination
    // half-written. Throws on failure, having cleaned up after itself.
    void copyBundleInto(const std::string& source, const std::string& destination);

    const platform::Bundle& bundle_;
    platform::UserDefaults& defaults_;
    platform::Files& files_;
    platform::Workspace& workspace_;
    platform::Application& application_;
    DialogGate& dialogs_;
};

} // namespace tavrelin
