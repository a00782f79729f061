#include "Platform/Linux/Desktop/DisplayProbe.h"

#include "Base/Text.h"

#include <QLibraryInfo>

#include <xcb/xcb.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

namespace tavrelin::qt {
namespace {

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

bool isWayland(const std::string& platform) {
    return platform.starts_with("wayland");
}

using Clock = std::chrono::steady_clock;

// How long a display may take to answer a new client. Qt, libxcb and
// libwayland-client wait for that answer without a limit, so the probe asks
// first, on a connection of its own.
constexpr std::chrono::seconds answerDeadline{5};

int millisecondsLeft(Clock::time_point until) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

// A connection of the probe's own, closed with it.
class Probe {
public:
    enum class Result {
        answered,    // the server spoke first words back
        silent,      // it took the connection, or kept it waiting, and said nothing in time
        unreachable, // nothing to connect to, or it hung up: its library finds out as fast
    };

    Probe() = default;
    ~Probe() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    // Connects within the deadline; `answered` once connected.
    Result connect(const sockaddr* address, socklen_t length, Clock::time_point until) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = ::socket(address->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd_ < 0)
            return Result::unreachable;
        if (::connect(fd_, address, length) == 0)
            return Result::answered;
        if (errno == EAGAIN)
            return Result::silent; // a local listener whose queue is full: nobody takes the connections
        if (errno != EINPROGRESS)
            return Result::unreachable;
        pollfd ready{fd_, POLLOUT, 0};
        if (::poll(&ready, 1, millisecondsLeft(until)) != 1)
            return Result::silent;
        int error = 0;
        socklen_t size = sizeof error;
        ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size);
        return error == 0 ? Result::answered : Result::unreachable;
    }

    // Sends the greeting and waits for the first `needed` bytes of a reply.
    Result exchange(const void* greeting, std::size_t size, std::size_t needed, Clock::time_point until) {
        if (::send(fd_, greeting, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size))
            return Result::unreachable;
        char reply[64];
        for (std::size_t got = 0; got < needed;) {
            pollfd ready{fd_, POLLIN, 0};
            const int count = ::poll(&ready, 1, millisecondsLeft(until));
            if (count < 0 && errno == EINTR)
                continue;
            if (count <= 0)
                return Result::silent;
            const ssize_t read = ::recv(fd_, reply, std::min(sizeof reply, needed - got), 0);
            if (read < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (read <= 0)
                return Result::unreachable;
            got += static_cast<std::size_t>(read);
        }
        return Result::answered;
    }

private:
    int fd_ = -1;
};

// A Unix socket address: `abstract` in the abstract namespace (Linux).
std::optional<std::pair<sockaddr_un, socklen_t>> unixAddress(const std::string& path, bool abstract = false) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t offset = abstract ? 1 : 0;
    if (path.size() + offset >= sizeof address.sun_path)
        return std::nullopt;
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    return std::pair(address, static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size() + !abstract));
}

// A compositor answers wl_display.sync with the callback's done event.
bool waylandSocketAnswers(const std::string& path) {
    const auto until = Clock::now() + answerDeadline;
    const auto address = unixAddress(path);
    Probe probe;
    if (!address ||
        probe.connect(reinterpret_cast<const sockaddr*>(&address->first), address->second, until) != Probe::Result::answered)
        return false;
    // Object 1 (the display), request 0 (sync), 12 bytes, new callback object 2.
    const std::uint32_t sync[] = {1, 12u << 16, 2};
    return probe.exchange(sync, sizeof sync, 8, until) == Probe::Result::answered;
}

// Asks the X server at `display` for a connection, without authorization: it
// answers with at least a refusal's first 8 bytes. Unix sockets first, as
// libxcb tries them; a host name means TCP on port 6000 + the display number.
// `probe` keeps the connection, so the server has a client until libxcb's
// own connection is made (one that loses its last client starts over).
Probe::Result askX11(const std::string& display, Probe& probe, Clock::time_point until) {
    char* rawHost = nullptr;
    int number = 0, screen = 0;
    if (!xcb_parse_display(display.c_str(), &rawHost, &number, &screen))
        return Probe::Result::unreachable;
    const std::string host = rawHost ? rawHost : "";
    std::free(rawHost);
    // Byte order "l", protocol 11.0, no authorization.
    const unsigned char setup[12] = {'l', 0, 11, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    auto ask = [&](const sockaddr* address, socklen_t length) {
        const Probe::Result connected = probe.connect(address, length, until);
        return connected == Probe::Result::answered ? probe.exchange(setup, sizeof setup, 8, until) : connected;
    };
    if (host.empty() || host == "unix") {
        const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
        Probe::Result result = Probe::Result::unreachable;
        for (bool abstract : {true, false})
            if (const auto address = unixAddress(path, abstract); address && result == Probe::Result::unreachable)
                result = ask(reinterpret_cast<const sockaddr*>(&address->first), address->second);
        return result;
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(6000 + number).c_str(), &hints, &found) != 0)
        return Probe::Result::unreachable;
    Probe::Result result = Probe::Result::unreachable;
    for (addrinfo* each = found; each && result == Probe::Result::unreachable; each = each->ai_next)
        result = ask(each->ai_addr, each->ai_addrlen);
    ::freeaddrinfo(found);
    return result;
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
        // Silent within the deadline is no display; reached some other way
        // than the probe's, libxcb decides.
        Probe probe;
        if (askX11(display, probe, Clock::now() + answerDeadline) == Probe::Result::silent)
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
