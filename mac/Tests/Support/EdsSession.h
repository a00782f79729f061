#pragma once

// A private Evolution Data Server for tests: a session bus of its own started
// with dbus-run-session (nothing on it is activated on demand), the source
// registry and the calendar factory on it, and a temporary home and XDG
// folders for all of them. Everything is stopped and removed at the end; if
// the test dies first, the bus ends with it and takes the services along.

#include <gio/gio.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace tavrelin::testing {

class EdsSession {
public:
    static constexpr const char* sessionProgram = "/usr/bin/dbus-run-session";
    static constexpr const char* registryProgram = "/usr/libexec/evolution-source-registry";
    static constexpr const char* calendarProgram = "/usr/libexec/evolution-calendar-factory";
    static constexpr const char* registryName = "org.gnome.evolution.dataserver.Sources5";
    static constexpr const char* calendarName = "org.gnome.evolution.dataserver.Calendar8";

    // What is missing to run one, for the failure message; empty when nothing is.
    static std::string missing() {
        std::string absent;
        for (const char* program : {sessionProgram, registryProgram, calendarProgram})
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
    const std::string& busAddress() const { return address_; }

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

    // What the services wrote on their standard error, for failure messages.
    std::string log() const {
        std::ifstream file(root_ / "services.log");
        return std::string((std::istreambuf_iterator<char>(file)), {});
    }

private:
    void start(bool services) {
        for (const char* folder : {"home", "config", "data", "cache", "run"})
            std::filesystem::create_directories(root_ / folder);
        std::filesystem::permissions(root_ / "run", std::filesystem::perms::owner_all, std::filesystem::perm_options::replace);
        // A session bus without service folders: only what we start runs.
        std::ofstream(root_ / "bus.conf")
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><type>session</type><listen>unix:dir="
            << root_.string()
            << "</listen><auth>EXTERNAL</auth>"
               "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
               "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";

        // The session lasts while its shell reads our end of a pipe: closing it
        // (or dying) ends the shell, and dbus-run-session then ends the bus.
        int input[2], output[2];
        if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        keepAlive_ = input[1];
        int log = ::open((root_ / "services.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        std::string config = "--config-file=" + (root_ / "bus.conf").string();
        session_ = spawn({sessionProgram, config, "--", "/bin/sh", "-c", "echo \"$DBUS_SESSION_BUS_ADDRESS\"; read -r _"},
                         baseEnvironment(), input[0], output[1], log);
        ::close(input[0]);
        ::close(output[1]);
        address_ = readLine(output[0], 10'000);
        ::close(output[0]);
        if (address_.empty()) {
            ::close(log);
            throw std::runtime_error("dbus-run-session printed no bus address:\n" + this->log());
        }
        if (services) {
            registry_ = spawn({registryProgram}, environment(), -1, log, log);
            // Kept running: with no activation on this bus it could not come back.
            calendar_ = spawn({calendarProgram, "--keep-running"}, environment(), -1, log, log);
        }
        ::close(log);
        if (services)
            awaitNames();
    }

    std::map<std::string, std::string> baseEnvironment() const {
        auto variables = environment();
        variables.erase("DBUS_SESSION_BUS_ADDRESS");
        return variables;
    }

    // posix_spawn: safe from a process that already runs threads.
    static pid_t spawn(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& variables, int in,
                       int out, int err) {
        std::vector<std::string> pairs;
        for (const auto& [name, value] : variables)
            pairs.push_back(name + "=" + value);
        std::vector<char*> argv, envp;
        for (const auto& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        for (auto& pair : pairs)
            envp.push_back(pair.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        if (in >= 0)
            posix_spawn_file_actions_adddup2(&actions, in, 0);
        if (out >= 0)
            posix_spawn_file_actions_adddup2(&actions, out, 1);
        if (err >= 0)
            posix_spawn_file_actions_adddup2(&actions, err, 2);
        pid_t pid = -1;
        int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (failed)
            throw std::runtime_error("could not start " + arguments[0]);
        return pid;
    }

    static std::string readLine(int fd, int timeoutMs) {
        std::string line;
        for (;;) {
            pollfd ready{fd, POLLIN, 0};
            if (::poll(&ready, 1, timeoutMs) <= 0)
                return line;
            char c;
            ssize_t n = ::read(fd, &c, 1);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0 || c == '\n')
                return line;
            line += c;
        }
    }

    // Waits until the registry and the calendar factory own their names, on a
    // connection of our own so the process's shared bus is left untouched.
    void awaitNames() {
        GError* error = nullptr;
        GDBusConnection* bus =
            g_dbus_connection_new_for_address_sync(address_.c_str(),
                                                   GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                                                   nullptr, nullptr, &error);
        if (!bus) {
            std::string text = error->message;
            g_error_free(error);
            throw std::runtime_error("could not reach the test session bus: " + text);
        }
        auto owned = [bus](const char* name) {
            GVariant* reply = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                          "org.freedesktop.DBus", "NameHasOwner", g_variant_new("(s)", name),
                                                          G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
            gboolean has = FALSE;
            if (reply) {
                g_variant_get(reply, "(b)", &has);
                g_variant_unref(reply);
            }
            return has == TRUE;
        };
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        bool ready = false;
        while (!(ready = owned(registryName) && owned(calendarName)) && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        g_dbus_connection_close_sync(bus, nullptr, nullptr);
        g_object_unref(bus);
        if (!ready)
            throw std::runtime_error("the Evolution Data Server services did not come up:\n" + log());
    }

    // With `ask` the process is sent SIGTERM at once; without, it is given the
    // same time to end on its own first.
    static void end(pid_t& pid, bool ask = true) {
        if (pid <= 0)
            return;
        int status = 0;
        if (!ask)
            for (int waited = 0; waited < 100 && ::waitpid(pid, &status, WNOHANG) == 0; ++waited)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (::waitpid(pid, &status, WNOHANG) != 0) {
            pid = -1;
            return;
        }
        ::kill(pid, SIGTERM);
        for (int waited = 0; waited < 100 && ::waitpid(pid, &status, WNOHANG) == 0; ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (::waitpid(pid, &status, WNOHANG) == 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
        }
        pid = -1;
    }

    void stop() {
        end(calendar_);
        end(registry_);
        if (keepAlive_ >= 0) {
            ::close(keepAlive_);
            keepAlive_ = -1;
        }
        // It stops the bus itself once its shell has ended.
        end(session_, false);
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }

    std::filesystem::path root_;
    std::string address_;
    int keepAlive_ = -1;
    pid_t session_ = -1, registry_ = -1, calendar_ = -1;
};

} // namespace tavrelin::testing
