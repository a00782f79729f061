#pragma once

#include "Platform/RemindersDatabase.h"

#include <string>
#include <vector>

namespace tavrelin::platform {

// The places on this computer where reminders can be filed, the one in use,
// and its database. Which one a launch starts with, and what is remembered,
// is the platform's policy; the shell asks and switches.
class RemindersPlaces {
public:
    virtual ~RemindersPlaces() = default;

    // Learns which places there are and picks the one in use. Asking a
    // server can take seconds, so this is called once, off the main thread,
    // before anything else here. Answers which place and why, for the log.
    virtual std::string settle() = 0;

    // The rest on the main thread, once settled.
    // In a stable order, the one in use among them.
    virtual std::vector<RemindersPlace> available() const = 0;
    virtual RemindersPlace chosen() const = 0;
    // The database of the place in use. Every database answered lives as
    // long as this object, so a poll still using one after a switch ends
    // safely.
    virtual RemindersDatabase& database() = 0;
    // Puts the place of this kind in use and remembers it for later
    // launches. Asks no server.
    virtual void choose(RemindersPlace::Kind kind) = 0;
};

} // namespace tavrelin::platform
