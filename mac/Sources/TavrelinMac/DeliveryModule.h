#pragma once

#include "Platform/StatusItem.h"
#include "TavrelinMac/Pairing.h"

#include <string>
#include <vector>

namespace tavrelin {

// How the shell and the menu drive a delivery module. Main thread only.
class DeliveryModule {
public:
    virtual ~DeliveryModule() = default;

    virtual std::string id() const = 0;
    virtual std::string title() const = 0;
    virtual std::string statusLine() const = 0;

    // Begins (or restarts) delivery for this pairing and polls at once.
    virtual void start(const Pairing& pairing) = 0;
    // Ends delivery and forgets the pairing.
    virtual void stop() = 0;
    // Polls now unless stopped or a poll is running, ignoring any back-off.
    virtual void syncNow() = 0;
    // The module's section of the status menu.
    virtual std::vector<platform::MenuItem> menuItems() const = 0;
};

} // namespace tavrelin
