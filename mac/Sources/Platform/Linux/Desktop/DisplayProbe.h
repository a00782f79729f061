#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavrelin::qt {

// The display the desktop front end will use, found before Qt picks one: Qt
// aborts the process when the display it picks does not answer (or its
// platform plugin is missing), so the agent asks first.
struct DisplayChoice {
    // Qt's platform for the display that answered ("wayland" or "xcb"), or the
    // one QT_QPA_PLATFORM names when it is another kind; none when no display
    // can be opened.
    std::optional<std::string> platform;
    // Why each display named by the environment was passed over.
    std::vector<std::string> problems;
    // The probe's own connection to the X server chosen, to be dropped once
    // Qt holds its own: an X server whose last client leaves starts over and
    // turns connections away meanwhile.
    std::shared_ptr<void> held;
};

// What the environment says about displays.
struct DisplayEnvironment {
    std::string qpaPlatform;    // QT_QPA_PLATFORM
    std::string waylandDisplay; // WAYLAND_DISPLAY
    std::string runtimeDir;     // XDG_RUNTIME_DIR
    std::string x11Display;     // DISPLAY
    std::string sessionType;    // XDG_SESSION_TYPE

    static DisplayEnvironment current();
};

// Whether a display answers at an address: a Wayland socket path, or an X
// display name.
using DisplayAnswers = std::function<bool(const std::string& address)>;

// Tries the displays in Qt's own order: Wayland first in a Wayland session,
// then X11; with QT_QPA_PLATFORM naming them, in its order.
DisplayChoice chooseDisplay(const DisplayEnvironment& environment, const DisplayAnswers& waylandAnswers,
                            const DisplayAnswers& x11Answers, bool waylandPluginInstalled);
// The same with this process's environment, sockets and Qt installation.
DisplayChoice probeDisplay();

} // namespace tavrelin::qt
