#include "Platform/Posix/PosixProcesses.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/close_range.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tavrelin::posix {
namespace {

using platform::ProcessError;

[[noreturn]] void fail(const std::string& program, int error) {
    throw ProcessError("Could not start “" + program + "”: " + std::strerror(error));
}

// argv for exec: built before any fork so the child only reads it.
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

// envp for exec, built before any fork like argv.
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

int waitFor(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

class SpawnSetup {
public:
    SpawnSetup() {
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawnattr_init(&attributes);
        // A child starts with no blocked signals and default SIGPIPE, whatever
        // the agent's threads set for themselves.
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        ::posix_spawnattr_setsigmask(&attributes, &none);
        ::posix_spawnattr_setsigdefault(&attributes, &defaults);
        ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~SpawnSetup() {
        ::posix_spawn_file_actions_destroy(&actions);
        ::posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

} // namespace

void PosixProcesses::setForAgentOnly(const std::string& name, const std::string& value) {
    if (::setenv(name.c_str(), value.c_str(), 1) == 0)
        agentOnlyNames().push_back(name);
}

platform::ProcessResult PosixProcesses::run(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<std::string> storage;
    std::vector<char*> argv = argumentVector(program, arguments, storage);

    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0)
        fail(program, errno);
    const int readEnd = pipeEnds[0], writeEnd = pipeEnds[1];

    SpawnSetup setup;
    // dup2 clears close-on-exec on the copies, so only fds 1 and 2 reach the child.
    ::posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(&setup.actions, writeEnd, STDOUT_FILENO);
    ::posix_spawn_file_actions_adddup2(&setup.actions, writeEnd, STDERR_FILENO);
    // Descriptors some library opened without close-on-exec stay with the agent.
    ::posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);

    std::vector<char*> envp = childEnvironment();
    pid_t pid = 0;
    int error = ::posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attributes, argv.data(), envp.data());
    ::close(writeEnd);
    if (error != 0) {
        ::close(readEnd);
        fail(program, error);
    }

    // Drain first, then wait: a chatty tool must never block on a full pipe.
    platform::ProcessResult result;
    char buffer[16 * 1024];
    while (true) {
        ssize_t got = ::read(readEnd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        result.output.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(readEnd);
    result.status = waitFor(pid);
    return result;
}

void PosixProcesses::launchDetached(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<std::string> storage;
    std::vector<char*> argv = argumentVector(program, arguments, storage);
    std::vector<char*> envp = childEnvironment();

    // The grandchild reports a failed exec through this pipe; a successful
    // exec closes it empty.
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0)
        fail(program, errno);
    const int readEnd = pipeEnds[0], writeEnd = pipeEnds[1];

    sigset_t none;
    sigemptyset(&none);
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;

    // Only async-signal-safe calls between fork and exec.
    pid_t middle = ::fork();
    if (middle < 0) {
        int error = errno;
        ::close(readEnd);
        ::close(writeEnd);
        fail(program, error);
    }
    if (middle == 0) {
        ::setsid();
        pid_t grandchild = ::fork();
        if (grandchild == 0) {
            ::sigaction(SIGPIPE, &defaultAction, nullptr);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            // Nothing of the agent's stays open in a process that outlives it;
            // the report pipe is close-on-exec already.
            ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
            ::execve(program.c_str(), argv.data(), envp.data());
            int error = errno;
            ssize_t ignored = ::write(writeEnd, &error, sizeof error);
            (void)ignored;
            ::_exit(127);
        }
        if (grandchild < 0) {
            int error = errno;
            ssize_t ignored = ::write(writeEnd, &error, sizeof error);
            (void)ignored;
        }
        // The grandchild is orphaned now and the system reaps it.
        ::_exit(0);
    }

    ::close(writeEnd);
    waitFor(middle);
    int error = 0;
    ssize_t got;
    do {
        got = ::read(readEnd, &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    ::close(readEnd);
    if (got == static_cast<ssize_t>(sizeof error))
        fail(program, error);
}

} // namespace tavrelin::posix
