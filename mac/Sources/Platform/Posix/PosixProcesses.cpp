#include "Platform/Posix/PosixProcesses.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tavrelin::posix {
namespace {

using platform::ProcessError;
using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& program, int error) {
    throw ProcessError("Could not start “" + program + "”: " + std::strerror(error));
}

// argv for exec, built before the spawn.
std::vector<char*> argumentVector(const std::string& program, const std::vector<std::string>& arguments,
                                  std::vector<std::string>& storage) {
    storage.clear();
    storage.reserve(arguments.size() + 1);
    storage.push_back(program);
    storage.insert(storage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    return argv;
}

// Written only before other threads run; read-only after.
std::vector<std::string>& agentOnlyNames() {
    static std::vector<std::string> names;
    return names;
}

// envp for exec, built before the spawn like argv.
std::vector<char*> childEnvironment() {
    std::vector<char*> envp;
    for (char** entry = environ; *entry; ++entry) {
        const std::string_view each(*entry);
        const bool agentOnly = std::ranges::any_of(agentOnlyNames(), [each](const std::string& name) {
            return each.starts_with(name) && each.size() > name.size() && each[name.size()] == '=';
        });
        if (!agentOnly)
            envp.push_back(*entry);
    }
    envp.push_back(nullptr);
    return envp;
}

// Both ends close-on-exec. macOS has no pipe2; there every spawn starts from
// POSIX_SPAWN_CLOEXEC_DEFAULT, so the moment before fcntl leaks nothing into
// our children.
bool makePipe(int ends[2]) {
#if defined(__APPLE__)
    if (::pipe(ends) != 0)
        return false;
    ::fcntl(ends[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(ends[1], F_SETFD, FD_CLOEXEC);
    return true;
#else
    return ::pipe2(ends, O_CLOEXEC) == 0;
#endif
}

int exitStatus(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

// The child's exit status once it has ended, or none when `until` comes
// first. Polled: it has nearly always ended by the time its output closes.
std::optional<int> waitUntil(pid_t pid, Clock::time_point until) {
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        int status = 0;
        const pid_t got = ::waitpid(pid, &status, WNOHANG);
        if (got == pid)
            return exitStatus(status);
        if (got < 0 && errno != EINTR)
            return -1; // not ours to wait for any more
        const auto now = Clock::now();
        if (now >= until)
            return std::nullopt;
        std::this_thread::sleep_for(std::min<Clock::duration>(pause, until - now));
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
}

// Reaps the child whenever it ends, so that none is left a zombie in an agent
// that runs for weeks; it may end long after the agent.
void reapInBackground(pid_t pid) {
    try {
        std::thread([pid] {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::system_error&) {
        // No thread to spare: the child stays a zombie until the agent ends.
    }
}

// Reads the child's output to its end; answers false when `until` comes first.
bool readToEnd(int fd, Clock::time_point until, std::string& output) {
    char buffer[16 * 1024];
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() <= 0)
            return false;
        pollfd ready{fd, POLLIN, 0};
        const int count = ::poll(&ready, 1, static_cast<int>(std::min<long long>(left.count(), INT_MAX)));
        if (count < 0 && errno != EINTR)
            return true; // nothing more to read; the wait for its end still has the deadline
        if (count <= 0)
            continue;
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0)
            return true;
        output.append(buffer, static_cast<std::size_t>(got));
    }
}

// The attributes and descriptor actions of one spawn. A child starts with no
// blocked signals and default SIGPIPE, whatever the agent's threads set for
// themselves, and with no descriptor of the agent's but those the actions
// give it.
class SpawnSetup {
public:
    explicit SpawnSetup(short flags) {
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawnattr_init(&attributes);
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        ::posix_spawnattr_setsigmask(&attributes, &none);
        ::posix_spawnattr_setsigdefault(&attributes, &defaults);
        flags |= POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#if defined(__APPLE__)
        // Every descriptor not named in the actions is closed at exec.
        flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#endif
        ::posix_spawnattr_setflags(&attributes, flags);
    }
    ~SpawnSetup() {
        ::posix_spawn_file_actions_destroy(&actions);
        ::posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    // Standard streams the child shares with the agent.
    void inheritStandardStream(int fd) {
#if defined(__APPLE__)
        ::posix_spawn_file_actions_addinherit_np(&actions, fd);
#else
        (void)fd; // inherited unless closed
#endif
    }

    // Answers the error number; 0 once the program runs.
    int spawn(pid_t& pid, const std::string& program, std::vector<char*>& argv) {
#if !defined(__APPLE__)
        // After the other actions, which may copy a descriptor from above 2.
        // Descriptors some library opened without close-on-exec stay with the agent.
        ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
        std::vector<char*> envp = childEnvironment();
        return ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    }

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

// How long a killed child may take to go before another thread waits for it:
// one stuck in the kernel (a dead network mount) dies only when it returns.
constexpr auto killedGrace = std::chrono::seconds(2);

} // namespace

void PosixProcesses::setForAgentOnly(const std::string& name, const std::string& value) {
    if (::setenv(name.c_str(), value.c_str(), 1) == 0)
        agentOnlyNames().push_back(name);
}

platform::ProcessResult PosixProcesses::run(const std::string& program, const std::vector<std::string>& arguments,
                                            std::chrono::seconds deadline) {
    std::vector<std::string> storage;
    std::vector<char*> argv = argumentVector(program, arguments, storage);
    const auto until = Clock::now() + deadline;

    int pipeEnds[2];
    if (!makePipe(pipeEnds))
        fail(program, errno);
    const int readEnd = pipeEnds[0], writeEnd = pipeEnds[1];

    // A process group of its own, so that what it starts ends with it.
    SpawnSetup setup(POSIX_SPAWN_SETPGROUP);
    ::posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    // dup2 clears close-on-exec on the copies, so only fds 1 and 2 reach the child.
    ::posix_spawn_file_actions_adddup2(&setup.actions, writeEnd, STDOUT_FILENO);
    ::posix_spawn_file_actions_adddup2(&setup.actions, writeEnd, STDERR_FILENO);
    pid_t pid = 0;
    const int error = setup.spawn(pid, program, argv);
    ::close(writeEnd);
    if (error != 0) {
        ::close(readEnd);
        fail(program, error);
    }

    // Drain first, then wait: a chatty tool must never block on a full pipe.
    // A child that still runs, or left something running that holds its
    // output, at the deadline is no answer.
    platform::ProcessResult result;
    const bool closed = readToEnd(readEnd, until, result.output);
    ::close(readEnd);
    std::optional<int> status = closed ? waitUntil(pid, until) : std::nullopt;
    if (!status) {
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL); // also when it left its group
        if (!waitUntil(pid, Clock::now() + killedGrace))
            reapInBackground(pid);
        throw platform::ProcessTimedOut(program, deadline);
    }
    result.status = *status;
    return result;
}

void PosixProcesses::launchDetached(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<std::string> storage;
    std::vector<char*> argv = argumentVector(program, arguments, storage);

    // Spawned, not forked: a fork of this threaded process could copy a lock
    // another thread holds. posix_spawn reports a program that cannot be
    // started; a session of its own keeps the child from the agent's
    // terminal and its signals, so it outlives the agent.
    SpawnSetup setup(POSIX_SPAWN_SETSID);
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
        setup.inheritStandardStream(fd);
    pid_t pid = 0;
    if (const int error = setup.spawn(pid, program, argv); error != 0)
        fail(program, error);
    reapInBackground(pid);
}

} // namespace tavrelin::posix
