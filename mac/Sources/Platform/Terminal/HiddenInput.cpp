#include "Platform/Terminal/HiddenInput.h"

#include "Base/Text.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <poll.h>
#include <unistd.h>

namespace tavrelin::terminal {
namespace {

// A password longer than this is no password.
constexpr std::size_t maxPasswordBytes = 4096;

// The signal that interrupted the read, for the reader to act on outside the
// handler.
volatile std::sig_atomic_t caught = 0;

extern "C" void noteSignal(int signal) {
    caught = signal;
}

constexpr std::array interrupting{SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};

// Handlers that only note the signal, without SA_RESTART, so the wait
// returns with EINTR; the ones before come back with the end of the scope.
class NotedSignals {
public:
    NotedSignals() {
        struct sigaction action {};
        action.sa_handler = noteSignal;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < interrupting.size(); ++i)
            ::sigaction(interrupting[i], &action, &before_[i]);
    }
    ~NotedSignals() {
        for (std::size_t i = 0; i < interrupting.size(); ++i)
            ::sigaction(interrupting[i], &before_[i], nullptr);
    }
    NotedSignals(const NotedSignals&) = delete;
    NotedSignals& operator=(const NotedSignals&) = delete;

private:
    std::array<struct sigaction, interrupting.size()> before_{};
};

} // namespace

EchoOff::EchoOff(int fd) : fd_(fd) {
    if (fd_ < 0 || !::isatty(fd_) || ::tcgetattr(fd_, &saved_) != 0)
        return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK);
    quiet.c_lflag |= ECHONL;
    // TCSAFLUSH: what was typed ahead, and echoed, is not part of the password.
    active_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
}

EchoOff::~EchoOff() {
    if (active_)
        ::tcsetattr(fd_, TCSANOW, &saved_);
}

HiddenRead readHiddenLine(int fd, int promptFd, std::string_view prompt, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    HiddenRead read;
    // Room for the longest, so growing never leaves a copy behind.
    read.line.reserve(maxPasswordBytes + 1);
    auto end = [&read](HiddenReadEnd how) {
        if (how != HiddenReadEnd::line)
            text::wipe(read.line);
        read.end = how;
        return std::move(read);
    };
    const bool terminal = ::isatty(fd) == 1;
    for (;;) {
        caught = 0;
        {
            std::optional<NotedSignals> noted;
            if (terminal)
                noted.emplace();
            EchoOff quiet(fd);
            if (terminal)
                for (std::size_t written = 0; written < prompt.size();) {
                    const ssize_t count = ::write(promptFd, prompt.data() + written, prompt.size() - written);
                    if (count <= 0 && errno != EINTR)
                        break;
                    written += count > 0 ? static_cast<std::size_t>(count) : 0;
                }
            while (!caught) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
                if (left.count() <= 0)
                    return end(HiddenReadEnd::timedOut);
                pollfd ready{fd, POLLIN, 0};
                const int polled = ::poll(&ready, 1, static_cast<int>(std::min<long long>(left.count(), 60'000)));
                if (polled < 0 && errno != EINTR)
                    return end(HiddenReadEnd::failed);
                if (polled <= 0)
                    continue;
                char byte = 0;
                const ssize_t count = ::read(fd, &byte, 1);
                if (count < 0 && (errno == EINTR || errno == EAGAIN))
                    continue;
                if (count < 0)
                    return end(HiddenReadEnd::failed);
                if (count == 0) // a last line without its line break still counts
                    return end(read.line.empty() ? HiddenReadEnd::endOfInput : HiddenReadEnd::line);
                if (byte == '\n') {
                    if (read.line.ends_with('\r'))
                        read.line.pop_back();
                    return end(HiddenReadEnd::line);
                }
                if (read.line.size() >= maxPasswordBytes)
                    return end(HiddenReadEnd::tooLong);
                read.line += byte;
                byte = 0;
            }
        } // the terminal echoes again, and the handlers before are back
        const int signal = caught;
        if (signal == SIGTSTP) {
            // Stopped as the shell asked; once continued, asked afresh.
            ::raise(SIGTSTP);
            text::wipe(read.line);
            continue;
        }
        ::raise(signal);
        return end(HiddenReadEnd::failed); // handled or ignored after all
    }
}

} // namespace tavrelin::terminal
