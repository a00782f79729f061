#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <termios.h>

namespace tavrelin::terminal {

// While it lives, the terminal at `fd` does not echo what is typed (the line
// break excepted, so the next output starts on a line of its own); the
// terminal's settings come back when it ends, however the scope is left.
// Nothing happens for a descriptor that is no terminal, or -1.
class EchoOff {
public:
    explicit EchoOff(int fd);
    ~EchoOff();
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

    bool active() const { return active_; }

private:
    int fd_;
    bool active_ = false;
    termios saved_{};
};

// Why a password could not be read.
enum class HiddenReadEnd { line, endOfInput, tooLong, timedOut, failed };

struct HiddenRead {
    HiddenReadEnd end = HiddenReadEnd::failed;
    std::string line; // `line` only: without its line break
};

// Reads one line from `fd` for a password, blocking for at most `limit`: from
// a terminal without echo, after writing `prompt` to `promptFd` once the echo
// is off; from a pipe or a file as it comes, unasked. Reads byte by
// byte, so nothing after the line is taken from the descriptor. While it
// waits on a terminal, SIGINT, SIGTERM, SIGHUP and SIGQUIT put the terminal
// back before they take their usual course, and a stop (Ctrl+Z) shows the
// shell a terminal that echoes; once continued, the prompt comes again and
// the line is typed afresh.
// For a process that has no handlers of its own for those signals.
HiddenRead readHiddenLine(int fd, int promptFd, std::string_view prompt, std::chrono::milliseconds limit);

} // namespace tavrelin::terminal
