#pragma once

#include "Platform/RemindersDatabase.h"

#include <string>

namespace tavrelin::platform {

// The task-list backend, once chosen. The database lives as long as the
// chooser that answered it.
struct RemindersChoice {
    RemindersDatabase& database;
    std::string description; // for the log, e.g. "vdir /home/me/.local/share/calendars (set to vdir)"
};

// Picks where reminders are filed. Choosing may wait on a server that is slow
// to answer, so the shell asks once, off the main thread.
class RemindersChooser {
public:
    virtual ~RemindersChooser() = default;
    virtual RemindersChoice choose() = 0;
};

} // namespace tavrelin::platform
