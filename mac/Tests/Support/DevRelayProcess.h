#pragma once

// Programs the tests run as child processes: the development relay
// (build/tools/dev-relay) on a free loopback port, the built agent, servers.
// Tests wait for what they print, never for a set time.

#include "Platform/Http.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

namespace tavrelin::testing {

// Generous: the machine is shared and sanitizer builds are slow.
inline constexpr std::chrono::milliseconds processDeadline{60'000};

// The build folder this test program belongs to: the nearest folder above it
// holding CMakeCache.txt, so a test finds the built programs wherever it runs.
inline std::filesystem::path buildDir() {
    static const std::filesystem::path dir = [] {
        const auto program = std::filesystem::read_symlink("/proc/self/exe");
        for (auto folder = program.parent_path(); folder != folder.parent_path(); folder = folder.parent_path())
            if (std::filesystem::exists(folder / "CMakeCache.txt"))
                return folder;
        throw std::runtime_error("no build folder above " + program.string());
    }();
    return dir;
}

// Waits for the condition, checking it every little while.
inline bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = processDeadline) {
    for (const auto until = std::chrono::steady_clock::now() + limit; !condition();
         std::this_thread::sleep_for(std::chrono::milliseconds(10)))
        if (std::chrono::steady_clock::now() >= until)
            return false;
    return true;
}

// Home, data, config, cache and runtime folders made under `root`, and the
// variables that point a child at them.
inline std::map<std::string, std::string> userFolders(const std::filesystem::path& root) {
    std::map<std::string, std::string> environment;
    for (const auto& [variable, folder] : {std::pair{"HOME", "home"},
                                           {"XDG_DATA_HOME", "data"},
                                           {"XDG_CONFIG_HOME", "config"},
                                           {"XDG_CACHE_HOME", "cache"},
                                           {"XDG_RUNTIME_DIR", "run"}}) {
        std::filesystem::create_directories(root / folder);
        environment[variable] = (root / folder).string();
    }
    std::filesystem::permissions(root / "run", std::filesystem::perms::owner_all, std::filesystem::perm_options::replace);
    return environment;
}

// A child in a process group of its own, with a pipe on its standard input
// and its output and error together in a file in memory. Its whole group is
// stopped with it.
class Child {
public:
    // An empty `environment` passes on this process's own.
    explicit Child(std::vector<std::string> arguments, const std::map<std::string, std::string>& environment = {})
        : output_(::memfd_create("output", MFD_CLOEXEC)) {
        int input[2];
        if (output_ < 0 || ::pipe2(input, O_CLOEXEC) != 0)
            throw std::runtime_error("no pipe or output file");
        std::vector<std::string> pairs;
        for (const auto& [name, value] : environment)
            pairs.push_back(name + "=" + value);
        std::vector<char*> argv(arguments.size() + 1), envp(pairs.size() + 1);
        std::ranges::transform(arguments, argv.begin(), [](std::string& text) { return text.data(); });
        std::ranges::transform(pairs, envp.begin(), [](std::string& text) { return text.data(); });
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input[0], 0);
        posix_spawn_file_actions_adddup2(&actions, output_, 1);
        posix_spawn_file_actions_adddup2(&actions, output_, 2);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        if (::posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), pairs.empty() ? environ : envp.data()) != 0)
            status_ = 127; // as a shell reports a program it could not start
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        ::close(input[0]);
        input_ = input[1];
    }

    ~Child() {
        ::close(input_);
        if (!wait(std::chrono::milliseconds(0)))
            ::kill(-pid_, SIGTERM);
        if (!wait(std::chrono::seconds(2)))
            kill(SIGKILL);
        ::close(output_);
    }
    Child(const Child&) = delete;

    void send(const std::string& line) {
        const std::string text = line + "\n";
        if (::write(input_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            throw std::runtime_error("could not write to the child");
    }

    // Waits for the text after what earlier waits consumed; answers what lies
    // from there to the end of the match.
    std::optional<std::string> await(const std::string& text, std::chrono::milliseconds limit = processDeadline) {
        std::string seen;
        eventually(
            [&] {
                const bool ended = wait(std::chrono::milliseconds(0)).has_value();
                return (seen = output()).find(text, mark_) != std::string::npos || ended;
            },
            limit);
        const std::size_t found = seen.find(text, mark_);
        if (found == std::string::npos)
            return std::nullopt;
        const std::size_t from = std::exchange(mark_, found + text.size());
        return seen.substr(from, mark_ - from);
    }
    std::string output() const {
        std::ifstream file("/proc/self/fd/" + std::to_string(output_), std::ios::binary);
        return {std::istreambuf_iterator<char>(file), {}};
    }

    pid_t pid() const { return pid_; }

    // The exit status (128 + signal when killed), or none while it runs.
    std::optional<int> wait(std::chrono::milliseconds limit = processDeadline) {
        int status = 0;
        if (!status_ && eventually([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, limit))
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return status_;
    }
    std::optional<int> kill(int signal) {
        if (!status_)
            ::kill(pid_, signal);
        return wait();
    }

private:
    int output_;
    int input_ = -1;
    pid_t pid_ = -1;
    std::size_t mark_ = 0;
    std::optional<int> status_;
};

// `environment` with a plain PATH and LANG and this process's sanitizer options.
inline std::map<std::string, std::string> withSanitizers(std::map<std::string, std::string> environment) {
    environment.insert({{"PATH", "/usr/bin:/bin"}, {"LANG", "C.UTF-8"}});
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char* value = std::getenv(name))
            environment[name] = value;
    return environment;
}

// Runs a program to its end, in `environment` as withSanitizers makes it;
// answers its exit status and output.
inline std::pair<int, std::string> runToEnd(std::vector<std::string> command,
                                            const std::map<std::string, std::string>& environment = {}) {
    Child child(std::move(command), withSanitizers(environment));
    return {child.wait().value_or(-1), child.output()};
}

inline bool installed(const std::string& program) {
    return ::access(program.c_str(), X_OK) == 0;
}

// The dev relay for `token`; its development endpoints are reached through a
// platform::Http, so benchmarks can use it too.
class DevRelayProcess {
public:
    DevRelayProcess(const std::string& program, const std::string& token, platform::Http& http)
        : process_({program, "--port", "0", "--tokens-from", "/dev/stdin"}), session_(http.makeSession({})) {
        // Through its input, as nobody else can read it.
        process_.send(token);
        process_.send("");
        // The one line it prints: tavrelin://pair?token=…&api=http://127.0.0.1:PORT
        process_.await("tavrelin://");
        link_ = "tavrelin://" + process_.await("\n").value_or("");
        link_.pop_back();
        if (link_.find("&api=") == std::string::npos)
            throw std::runtime_error(program + " printed no pairing link (is the dev-relay target built?): " + link_);
    }

    Child& process() { return process_; }
    const std::string& link() const { return link_; }
    // http://127.0.0.1:PORT
    std::string api() const { return link_.substr(link_.find("&api=") + 5); }

    nlohmann::json get(const std::string& path) { return exchange("GET", path, ""); }
    nlohmann::json post(const std::string& path, const nlohmann::json& body) { return exchange("POST", path, body.dump()); }

private:
    nlohmann::json exchange(const std::string& method, const std::string& path, const std::string& body) {
        const auto response = session_->perform({method, api() + path, {{"Content-Type", "application/json"}}, body});
        if (response.status != 200)
            throw std::runtime_error(method + " " + path + " answered " + std::to_string(response.status));
        return nlohmann::json::parse(response.body);
    }

    Child process_;
    std::unique_ptr<platform::HttpSession> session_;
    std::string link_;
};

} // namespace tavrelin::testing
