// Arbitrary paths through the install script's shell quoting. The property:
// /bin/sh gets back exactly the path it was given. The whole install script
// built around such paths must still be one the shell can parse; it is only
// parsed (sh -n), never run.

#include "Check.h"
#include "Platform/Posix/PosixProcesses.h"
#include "Platform/Posix/PosixUpdateSystem.h"
#include "TavrelinMac/UpdateTools.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

using namespace tavrelin;

namespace {

// An empty folder for the shell to stand in, should a broken quoting ever let
// a word run as a command.
std::string sandbox;

// libFuzzer's time-out alarm interrupts blocking calls now and then; a pipe
// left half read or half written would look like a broken shell.
std::string readAll(int fd) {
    std::string output;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0)
            output.append(buffer, static_cast<std::size_t>(got));
        else if (got == 0 || errno != EINTR)
            break;
    }
    return output;
}

void writeAll(int fd, const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote > 0)
            done += static_cast<std::size_t>(wrote);
        else
            FUZZ_CHECK(wrote < 0 && errno == EINTR);
    }
}

// What the shell prints for `printf %s <word>`.
std::string echoedByShell(const std::string& word) {
    const std::string command = "cd " + sandbox + " && printf %s " + word;
    FILE* shell = ::popen(command.c_str(), "r");
    FUZZ_CHECK(shell);
    std::string output = readAll(::fileno(shell));
    FUZZ_CHECK(::pclose(shell) == 0);
    return output;
}

bool shellParses(const std::string& script) {
    FILE* shell = ::popen("/bin/sh -n", "w");
    FUZZ_CHECK(shell);
    writeAll(::fileno(shell), script);
    const int status = ::pclose(shell);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* tmpdir = std::getenv("TMPDIR");
    std::string pattern = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/tavrelin-fuzz-sh-XXXXXX";
    FUZZ_CHECK(::mkdtemp(pattern.data()));
    sandbox = pattern;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(sandbox, ignored);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path(reinterpret_cast<const char*>(data), size);
    // No path holds a NUL byte: neither a file system nor a shell word can.
    if (path.find('\0') != std::string::npos)
        return 0;
    FUZZ_CHECK(echoedByShell(updatetools::quoted(path)) == path);
    // With the system's own flush and reopen lines, as the agent builds it.
    static posix::PosixProcesses processes;
    static posix::PosixUpdateSystem system(processes);
    FUZZ_CHECK(shellParses(updatetools::installScript({path, path + ".previous", path + "/.new", path + "-staging"},
                                                      system.flushCommand(path), system.reopenCommand(path))));
    return 0;
}
