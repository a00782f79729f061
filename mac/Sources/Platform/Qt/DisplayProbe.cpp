#include "Platform/Qt/DisplayProbe.h"

#include "Base/Text.h"

#include <QLibraryInfo>

#include <xcb/xcb.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace tavrelin::qt {
namespace {

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

bool isWayland(const std::string& platform) {
    return platform.starts_with("wayland");
}

// A compositor listens on a socket; connecting is all it takes to know.
bool waylandSocketAnswers(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

// Compared by hand: a wildcard filter would bring in a regular-expression
// engine (some 300 kB resident) for this one look.
bool waylandPluginInstalled() {
    const std::string pluginPath = variable("QT_PLUGIN_PATH");
    std::vector<std::string> folders;
    for (std::string_view folder : text::split(pluginPath, ':'))
        if (!folder.empty())
            folders.emplace_back(folder);
    folders.push_back(QLibraryInfo::path(QLibraryInfo::PluginsPath).toStdString());
    for (const std::string& folder : folders) {
        std::error_code error;
        for (std::filesystem::directory_iterator entry(folder + "/platforms", error), end; !error && entry != end;
             entry.increment(error)) {
            const std::string name = entry->path().filename().string();
            if (name.starts_with("libqwayland-") && name.ends_with(".so") && entry->is_regular_file(error))
                return true;
        }
    }
    return false;
}

} // namespace

DisplayEnvironment DisplayEnvironment::current() {
    return {variable("QT_QPA_PLATFORM"), variable("WAYLAND_DISPLAY"), variable("XDG_RUNTIME_DIR"), variable("DISPLAY"),
            variable("XDG_SESSION_TYPE")};
}

DisplayChoice chooseDisplay(const DisplayEnvironment& environment, const DisplayAnswers& waylandAnswers,
                            const DisplayAnswers& x11Answers, bool pluginInstalled) {
    DisplayChoice choice;
    std::vector<std::string> candidates;
    if (!environment.qpaPlatform.empty()) {
        const auto pieces = text::split(environment.qpaPlatform, ';');
        candidates.assign(pieces.begin(), pieces.end());
        // Another kind (offscreen, a framebuffer) is Qt's to open as asked.
        if (!candidates.empty() && !isWayland(candidates.front()) && candidates.front() != "xcb") {
            choice.platform = candidates.front();
            return choice;
        }
    } else {
        if (!environment.waylandDisplay.empty() || environment.sessionType == "wayland")
            candidates.push_back("wayland");
        if (!environment.x11Display.empty())
            candidates.push_back("xcb");
    }
    for (const std::string& candidate : candidates) {
        if (isWayland(candidate)) {
            // A client's default display is wayland-0, in the runtime folder
            // unless the name is a path.
            const std::string name = environment.waylandDisplay.empty() ? "wayland-0" : environment.waylandDisplay;
            const std::string shown = "WAYLAND_DISPLAY=" + name;
            if (!name.starts_with("/") && environment.runtimeDir.empty())
                choice.problems.push_back(shown + " needs XDG_RUNTIME_DIR, which is not set");
            else if (!waylandAnswers(name.starts_with("/") ? name : environment.runtimeDir + "/" + name))
                choice.problems.push_back(shown + " does not answer");
            else if (!pluginInstalled)
                choice.problems.push_back(shown + " answers, but Qt's Wayland platform plugin (qt6-wayland) is missing");
            else
                choice.platform = candidate;
        } else if (candidate == "xcb") {
            if (environment.x11Display.empty())
                choice.problems.push_back("DISPLAY is not set");
            else if (!x11Answers(environment.x11Display))
                choice.problems.push_back("DISPLAY=" + environment.x11Display + " does not answer");
            else
                choice.platform = candidate;
        } else {
            choice.platform = candidate; // a later fallback of another kind
        }
        if (choice.platform)
            return choice;
    }
    return choice;
}

DisplayChoice probeDisplay() {
    // The X server's own answer, authorization included.
    std::shared_ptr<void> connection;
    auto x11Answers = [&connection](const std::string& display) {
        // xcb reads a name with no display number as display 0; Qt does not.
        const std::size_t colon = display.rfind(':');
        if (colon == std::string::npos || colon + 1 >= display.size() ||
            !std::isdigit(static_cast<unsigned char>(display[colon + 1])))
            return false;
        xcb_connection_t* opened = xcb_connect(display.c_str(), nullptr);
        if (!opened)
            return false;
        if (xcb_connection_has_error(opened) != 0) {
            xcb_disconnect(opened);
            return false;
        }
        connection.reset(opened, [](void* held) { xcb_disconnect(static_cast<xcb_connection_t*>(held)); });
        return true;
    };
    DisplayChoice choice =
        chooseDisplay(DisplayEnvironment::current(), waylandSocketAnswers, x11Answers, waylandPluginInstalled());
    if (choice.platform == "xcb")
        choice.held = std::move(connection);
    return choice;
}

} // namespace tavrelin::qt
