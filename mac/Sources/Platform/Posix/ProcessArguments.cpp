#include "Platform/Posix/ProcessArguments.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace tavrelin::posix {

ProcessArguments::ProcessArguments(int argc, char** argv) {
    copies_.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i)
        copies_.emplace_back(argv[i]);
    // In place: the system shows the very bytes the process started with.
    // Options stay readable, so a listing still tells what the agent was asked.
    for (int i = 1; i < argc; ++i)
        if (argv[i][0] != '-')
            std::memset(argv[i], 0, std::strlen(argv[i]));
    for (std::string& copy : copies_)
        pointers_.push_back(copy.data());
    pointers_.push_back(nullptr);
}

std::optional<std::string> firstLine(const std::string& path) {
    // A link is far shorter; a writer that never ends its line is not waited
    // for beyond a few seconds.
    constexpr std::size_t maxBytes = 64 * 1024;
    constexpr std::chrono::seconds patience{5};
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    const auto until = std::chrono::steady_clock::now() + patience;
    std::string text;
    // A byte at a time: what follows the line (on standard input, the
    // terminal front end's commands) stays for whoever reads it next.
    for (char c = 0; text.size() < maxBytes;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        pollfd entry{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) == 0)
            break;
        const ssize_t count = ::read(fd, &c, 1);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0 || c == '\n')
            break;
        text += c;
    }
    ::close(fd);
    if (!text.empty() && text.back() == '\r')
        text.pop_back();
    if (text.empty())
        return std::nullopt;
    return text;
}

} // namespace tavrelin::posix
