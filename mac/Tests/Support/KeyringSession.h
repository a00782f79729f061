#pragma once

// A real keyring for tests: gnome-keyring-daemon's Secret Service on a session
// bus of its own (nothing on it is activated on demand), its keyring in a
// temporary home, created and unlocked with a password of the test's. The
// session lives while it reads our pipe, so it ends with the test.

#include "Support/DevRelayProcess.h"
#include "Support/TempFolder.h"

#include <csignal>
#include <fstream>

namespace tavrelin::testing {

class KeyringSession {
public:
    KeyringSession() {
        for (const char* program : {"/usr/bin/dbus-run-session", "/usr/bin/dbus-send", daemonProgram})
            if (!installed(program))
                throw std::runtime_error(std::string(program) + " is missing (scripts/setup installs it)");
        environment_.insert({{"GSETTINGS_BACKEND", "memory"}, {"PATH", "/usr/bin:/bin"}, {"LANG", "C.UTF-8"}});
        std::ofstream(root_ / "bus.conf") << "<busconfig><type>session</type><listen>unix:dir=" << root_.path()
                                          << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                             "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                             "<allow own=\"*\"/></policy></busconfig>\n";
        // --unlock reads the keyring's password from standard input and makes
        // the login keyring with it; the address is printed once the Secret
        // Service owns its name.
        const std::string script =
            std::string("printf '%s' test-keyring-password | ") + daemonProgram +
            " --foreground --unlock --components=secrets >\"$HOME/keyring.log\" 2>&1 & k=$!; "
            "for i in $(seq 300); do dbus-send --session --print-reply --dest=org.freedesktop.secrets / "
            "org.freedesktop.DBus.Peer.Ping >/dev/null 2>&1 && break; sleep 0.1; done; "
            "echo \"bus=$DBUS_SESSION_BUS_ADDRESS\"; read -r _; kill $k 2>/dev/null; kill -CONT $k 2>/dev/null; wait";
        session_.emplace(std::vector<std::string>{"/usr/bin/dbus-run-session", "--config-file=" + root_ / "bus.conf", "--",
                                                  "/bin/sh", "-c", script},
                         environment_);
        if (!session_->await("bus=", std::chrono::seconds(40)))
            throw std::runtime_error("the keyring session did not come up:\n" + session_->output());
        const std::string address = session_->await("\n").value_or("\n");
        environment_["DBUS_SESSION_BUS_ADDRESS"] = address.substr(0, address.size() - 1);
        if (!eventually([&] { return onBus(); }))
            throw std::runtime_error("no Secret Service on the test bus:\n" + readLog());
    }

    std::filesystem::path root() const { return root_.path(); }
    std::map<std::string, std::string> environment() const { return environment_; }

    // Moves this process into the session (home, XDG folders, bus) until the
    // session ends.
    void enter() {
        for (const auto& [name, value] : environment())
            entered_.set(name, value);
        entered_.set("DISPLAY", std::nullopt);
    }

    // Locks the login keyring, as a screen lock or a person may.
    void lock() {
        const auto [status, said] = runToEnd(
            {"/usr/bin/dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.secrets", "/org/freedesktop/secrets",
             "org.freedesktop.Secret.Service.Lock", "array:objpath:/org/freedesktop/secrets/collection/login"},
            environment_);
        if (status != 0)
            throw std::runtime_error("could not lock the keyring: " + said);
    }

    // SIGSTOP makes a keyring that never answers; SIGCONT lets it go on.
    void signalDaemon(int signal) {
        const auto [status, said] = runToEnd({"/usr/bin/dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                                              "/org/freedesktop/DBus", "org.freedesktop.DBus.GetConnectionUnixProcessID",
                                              "string:org.freedesktop.secrets"},
                                             environment_);
        const auto number = said.find("uint32 ");
        if (status != 0 || number == std::string::npos)
            throw std::runtime_error("no keyring daemon on the bus: " + said);
        ::kill(static_cast<pid_t>(std::stol(said.substr(number + 7))), signal);
    }

    std::string readLog() const {
        try {
            return readFile(root_ / "home/keyring.log");
        } catch (const std::exception&) {
            return {};
        }
    }

private:
    static constexpr const char* daemonProgram = "/usr/bin/gnome-keyring-daemon";

    bool onBus() const {
        return runToEnd({"/usr/bin/dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                         "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", "string:org.freedesktop.secrets"},
                        environment_)
                   .second.find("true") != std::string::npos;
    }

    // Short, under /tmp: the bus's socket path must fit.
    TempFolder root_{"/tmp"};
    std::map<std::string, std::string> environment_ = userFolders(root_.path());
    std::optional<Child> session_;
    SavedEnvironment entered_;
};

} // namespace tavrelin::testing
