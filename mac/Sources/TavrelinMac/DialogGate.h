#pragma once

#include "Platform/Application.h"
#include "Platform/Dialogs.h"
#include "Platform/MainLoop.h"

#include <functional>
#include <optional>

namespace tavrelin {

// Every dialog of the agent runs through here, so the shell knows when one is
// open: pairing links that arrive meanwhile wait until it closes, and an
// answer cut short by quitting is never taken for the user's. Main thread only.
class DialogGate {
public:
    DialogGate(platform::Application& application, platform::Dialogs& dialogs, platform::MainLoop& mainLoop)
        : application_(application), dialogs_(dialogs), mainLoop_(mainLoop) {}

    // Brings the agent to the front and runs the alert: the button pressed
    // (platform::firstButton, …), or none when the agent began terminating
    // while it was open, which is no answer at all.
    std::optional<int> run(const platform::Alert& alert);
    // The same for a form; none also wipes what was typed into it.
    std::optional<platform::FormAnswer> runForm(const platform::Form& form);

    bool isOpen() const { return depth_ > 0; }
    bool isTerminating() const { return application_.isTerminating(); }

    // Called on the main loop after the last open dialog has closed, once the
    // code that opened it has finished with the answer.
    std::function<void()> onClosed;

private:
    // Runs the modal step; false when quitting came before or during it.
    bool show(const std::function<void()>& modal);

    platform::Application& application_;
    platform::Dialogs& dialogs_;
    platform::MainLoop& mainLoop_;
    int depth_ = 0;
};

} // namespace tavrelin
