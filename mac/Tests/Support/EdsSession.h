#pragma once

// A private Evolution Data Server for tests: a session bus of its own (nothing
// on it is activated on demand), the source registry and the calendar factory
// on it, and a temporary home and XDG folders for all of them. The session's
// shell lives while it reads our pipe, so it ends with the test however the
// test ends, and takes the services along.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>

namespace tavrelin::testing {

class EdsSession {
public:
    static constexpr const char* registryName = "org.gnome.evolution.dataserver.Sources5";

    // What is missing to run one, for the failure message; empty when nothing is.
    static std::string missing() {
        std::string absent;
        for (const char* program : {"/usr/bin/dbus-run-session", "/usr/bin/dbus-send", registryProgram, calendarProgram})
            if (::access(program, X_OK) != 0)
                absent += std::string(absent.empty() ? "" : ", ") + program;
        return absent.empty() ? "" : absent + " (scripts/setup installs dbus and evolution-data-server)";
    }

    // With `services` false the bus is bare: nothing owns the registry's name.
    explicit EdsSession(bool services = true) {
        if (auto absent = missing(); !absent.empty())
            throw std::runtime_error("Evolution Data Server is not installed: missing " + absent);
        char pattern[] = "/tmp/tavrelin-eds-XXXXXX";
        if (!::mkdtemp(pattern))
            throw std::runtime_error("mkdtemp failed");
        root_ = pattern;
        try {
            start(services);
        } catch (...) {
            stop();
            throw;
        }
    }

    ~EdsSession() { stop(); }
    EdsSession(const EdsSession&) = delete;
    EdsSession& operator=(const EdsSession&) = delete;

    const std::filesystem::path& root() const { return root_; }

    // The variables a process needs to live in this session and nowhere else.
    std::map<std::string, std::string> environment() const {
        return {
            {"HOME", (root_ / "home").string()},
            {"XDG_CONFIG_HOME", (root_ / "config").string()},
            {"XDG_DATA_HOME", (root_ / "data").string()},
            {"XDG_CACHE_HOME", (root_ / "cache").string()},
            {"XDG_RUNTIME_DIR", (root_ / "run").string()},
            {"DBUS_SESSION_BUS_ADDRESS", address_},
            {"GSETTINGS_BACKEND", "memory"},
            {"PATH", "/usr/bin:/bin"},
            {"LANG", "C.UTF-8"},
        };
    }

    // Moves this process into the session. Call it before anything here
    // touches the session bus: GLib keeps the first bus it reaches.
    void enter() const {
        for (const auto& [name, value] : environment())
            ::setenv(name.c_str(), value.c_str(), 1);
        ::unsetenv("DISPLAY");
    }

private:
    static constexpr const char* registryProgram = "/usr/libexec/evolution-source-registry";
    static constexpr const char* calendarProgram = "/usr/libexec/evolution-calendar-factory";

    void start(bool services) {
        namespace fs = std::filesystem;
        for (const char* folder : {"home", "config", "data", "cache", "run"})
            fs::create_directories(root_ / folder);
        fs::permissions(root_ / "run", fs::perms::owner_all, fs::perm_options::replace);
        // No service folders: only what we start runs.
        std::ofstream(root_ / "bus.conf") << "<busconfig><type>session</type><listen>unix:dir=" << root_.string()
                                          << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                             "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                             "<allow own=\"*\"/></policy></busconfig>\n";
        // The address is published once the services own their names; the
        // Peer.Ping fails until then, as nothing is activated.
        std::string script =
            "echo \"$DBUS_SESSION_BUS_ADDRESS\" > bus.new; up() { for i in $(seq 300); do "
            "dbus-send --session --print-reply --dest=$1 / org.freedesktop.DBus.Peer.Ping >/dev/null 2>&1 && return; "
            "sleep 0.1; done; return 1; }; ";
        if (services)
            script += std::string(registryProgram) + " & r=$!; " + calendarProgram + " --keep-running & c=$!; up " +
                      registryName + " && up org.gnome.evolution.dataserver.Calendar8 && ";
        script += "mv bus.new bus; read -r _; kill $r $c 2>/dev/null; wait";
        std::string command = "cd " + root_.string() + " && exec env -i";
        for (const auto& [name, value] : environment())
            if (name != "DBUS_SESSION_BUS_ADDRESS")
                command += " " + name + "=" + value;
        command += " dbus-run-session --config-file=bus.conf -- sh -c '" + script + "' >>services.log 2>&1";
        // Close-on-exec: a process started later must not keep the session alive.
        session_ = ::popen(command.c_str(), "we");
        if (!session_)
            throw std::runtime_error("could not start dbus-run-session");
        for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(40); address_.empty();) {
            std::getline(std::ifstream(root_ / "bus"), address_);
            if (address_.empty() && std::chrono::steady_clock::now() > until) {
                std::ifstream log(root_ / "services.log");
                throw std::runtime_error("the test session did not come up:\n" +
                                         std::string(std::istreambuf_iterator<char>(log), {}));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    // Ends the session's shell, which stops the services and then the bus.
    void stop() {
        if (session_)
            ::pclose(session_);
        session_ = nullptr;
        // The bus removes its socket as it ends, which can be just after: a
        // removal that trips over it is tried again.
        std::error_code ignored;
        for (int tries = 0; tries < 50 && std::filesystem::exists(root_, ignored); ++tries) {
            std::filesystem::remove_all(root_, ignored);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    std::filesystem::path root_;
    std::string address_;
    FILE* session_ = nullptr;
};

} // namespace tavrelin::testing
