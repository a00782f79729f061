// A password typed at a terminal: read without echo on a real pseudo-terminal,
// by the command line's reader and by the terminal front end's forms, and the
// terminal's settings back however the read ends. (The Qt form is the front
// ends test's.)

#include "Platform/Terminal/HiddenInput.h"
#include "Platform/Terminal/TerminalConsole.h"
#include "Platform/Terminal/TerminalDialogs.h"
#include "Support/SpinEventLoop.h"

#include <gmock/gmock.h>

#include <QCoreApplication>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace tavrelin;
using namespace tavrelin::terminal;
using namespace std::chrono_literals;

namespace {

// A pseudo-terminal: the program reads the terminal's side, the test types on
// the other and reads what the terminal shows (its echo, the prompt).
class Pty {
public:
    Pty() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            throw std::runtime_error("no pseudo-terminal");
        terminal_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (terminal_ < 0)
            throw std::runtime_error("cannot open the pseudo-terminal");
    }
    ~Pty() {
        ::close(terminal_);
        ::close(master_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int terminal() const { return terminal_; }
    bool echoes() const {
        termios settings{};
        ::tcgetattr(terminal_, &settings);
        return settings.c_lflag & ECHO;
    }
    termios settings() const {
        termios settings{};
        ::tcgetattr(terminal_, &settings);
        return settings;
    }
    void type(const std::string& text) const {
        if (::write(master_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            throw std::runtime_error("could not type");
    }
    // Everything the terminal showed since the last look, waiting up to
    // `quiet` for more after each piece.
    std::string shown(std::chrono::milliseconds quiet = 200ms) {
        std::string text;
        for (pollfd ready{master_, POLLIN, 0}; ::poll(&ready, 1, static_cast<int>(quiet.count())) > 0;) {
            char buffer[512];
            const ssize_t count = ::read(master_, buffer, sizeof buffer);
            if (count <= 0)
                break;
            text.append(buffer, static_cast<std::size_t>(count));
        }
        return text;
    }
    // Waits, with a generous bound, until the terminal echoes or not.
    bool awaitEcho(bool on) const {
        const auto until = std::chrono::steady_clock::now() + 30s;
        while (echoes() != on)
            if (std::chrono::steady_clock::now() > until)
                return false;
            else
                std::this_thread::sleep_for(5ms);
        return true;
    }

private:
    int master_ = -1;
    int terminal_ = -1;
};

bool sameSettings(const termios& a, const termios& b) {
    return a.c_lflag == b.c_lflag && a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag;
}

// What the command line's reader does in a child of its own, with the
// pseudo-terminal as its terminal: how it ended (the signal that ended it, or
// 0) and what it read.
struct ChildRead {
    int signal = 0;
    std::string line;
};

// Output of the child: the line read, after a marker.
ChildRead readInChild(Pty& pty, const std::function<void(pid_t)>& meanwhile) {
    int result[2];
    if (::pipe2(result, O_CLOEXEC) != 0)
        throw std::runtime_error("no pipe");
    const pid_t child = ::fork();
    if (child == 0) {
        // A group of its own, whose parent is in another group of the session:
        // the kernel drops Ctrl+Z's stop for a group with none, as when the
        // tests run in a session of their own.
        ::setpgid(0, 0);
        ::close(result[0]);
        const HiddenRead read = readHiddenLine(pty.terminal(), pty.terminal(), "Password: ", 60s);
        const std::string said = std::to_string(static_cast<int>(read.end)) + ":" + read.line;
        [[maybe_unused]] const auto written = ::write(result[1], said.data(), said.size());
        ::_exit(0);
    }
    ::close(result[1]);
    meanwhile(child);
    int status = 0;
    ::waitpid(child, &status, 0);
    ChildRead read;
    read.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    char buffer[256];
    const ssize_t count = ::read(result[0], buffer, sizeof buffer);
    if (count > 0)
        read.line.assign(buffer, static_cast<std::size_t>(count));
    ::close(result[0]);
    return read;
}

// The command line's reader: the typing is not echoed (the line break is, so
// what follows starts on a line of its own), the prompt comes once the echo
// is off, and the terminal is as it was afterwards, whether a line came, the
// input ended, the time ran out, or a signal ended the program (which then
// ends as the signal would have it). Ctrl+Z shows the shell a terminal that
// echoes; continued, it asks afresh, and what was half typed is gone.
TEST(PasswordInput, TheCommandLineReadsItWithoutEchoAndPutsTheTerminalBackHoweverTheReadEnds) {
    Pty pty;
    const termios before = pty.settings();
    ASSERT_TRUE(before.c_lflag & ECHO);

    {
        HiddenRead read;
        std::thread reader([&] { read = readHiddenLine(pty.terminal(), pty.terminal(), "Password for alice: ", 60s); });
        ASSERT_TRUE(pty.awaitEcho(false));
        EXPECT_THAT(pty.shown(), ::testing::HasSubstr("Password for alice: "));
        pty.type(" p4ss word ✓\n");
        reader.join();
        EXPECT_EQ(read.end, HiddenReadEnd::line);
        EXPECT_EQ(read.line, " p4ss word ✓"); // as typed, blanks and all
        const std::string shown = pty.shown();
        EXPECT_EQ(shown.find("p4ss"), std::string::npos) << shown;
        EXPECT_NE(shown.find('\n'), std::string::npos);
        EXPECT_TRUE(sameSettings(pty.settings(), before));
    }
    {
        HiddenRead read;
        std::thread reader([&] { read = readHiddenLine(pty.terminal(), pty.terminal(), "", 60s); });
        ASSERT_TRUE(pty.awaitEcho(false));
        pty.type(std::string(1, before.c_cc[VEOF])); // Ctrl+D at the start of a line
        reader.join();
        EXPECT_EQ(read.end, HiddenReadEnd::endOfInput);
        EXPECT_TRUE(sameSettings(pty.settings(), before));
    }
    EXPECT_EQ(readHiddenLine(pty.terminal(), pty.terminal(), "", 100ms).end, HiddenReadEnd::timedOut);
    EXPECT_TRUE(sameSettings(pty.settings(), before));

    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        const ChildRead read = readInChild(pty, [&](pid_t child) {
            ASSERT_TRUE(pty.awaitEcho(false));
            pty.type("half a pass");
            ::kill(child, signal);
        });
        EXPECT_EQ(read.signal, signal);
        EXPECT_TRUE(sameSettings(pty.settings(), before)) << "after signal " << signal;
        pty.type("\n");
        pty.shown();
    }

    const ChildRead stopped = readInChild(pty, [&](pid_t child) {
        ASSERT_TRUE(pty.awaitEcho(false));
        pty.type("before ");
        ::kill(child, SIGTSTP);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, WUNTRACED), child);
        ASSERT_TRUE(WIFSTOPPED(status));
        EXPECT_TRUE(sameSettings(pty.settings(), before)) << "stopped with the echo off";
        ::kill(child, SIGCONT);
        ASSERT_TRUE(pty.awaitEcho(false));
        pty.type("after\n");
    });
    EXPECT_EQ(stopped.signal, 0);
    EXPECT_EQ(stopped.line, "0:after");
    EXPECT_TRUE(sameSettings(pty.settings(), before));
}

// From a pipe, as a script hands it over: one line, nothing asked, and what
// follows the line left for whoever reads next.
TEST(PasswordInput, FromAPipeItIsOneLineAndNoMore) {
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    const std::string input = "secret\r\nnext line\n";
    ASSERT_EQ(::write(pipe[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    ::close(pipe[1]);
    const HiddenRead read = readHiddenLine(pipe[0], -1, "never shown", 10s);
    EXPECT_EQ(read.end, HiddenReadEnd::line);
    EXPECT_EQ(read.line, "secret");
    char rest[64] = {};
    EXPECT_EQ(std::string(rest, static_cast<std::size_t>(::read(pipe[0], rest, sizeof rest))), "next line\n");
    EXPECT_EQ(readHiddenLine(pipe[0], -1, "", 10s).end, HiddenReadEnd::endOfInput);
    ::close(pipe[0]);

    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    const std::string tooLong(5000, 'x');
    ASSERT_EQ(::write(pipe[1], tooLong.data(), tooLong.size()), static_cast<ssize_t>(tooLong.size()));
    ::close(pipe[1]);
    const HiddenRead long_ = readHiddenLine(pipe[0], -1, "", 10s);
    EXPECT_EQ(long_.end, HiddenReadEnd::tooLong);
    EXPECT_TRUE(long_.line.empty());
    ::close(pipe[0]);
}

// The terminal front end's form on a terminal: fields one at a time, an empty
// line keeps the value shown, the hidden one is not echoed, and the terminal
// echoes again once the form is done, answered or cut short by the end of input.
TEST(PasswordInput, TheTerminalFormHidesOnlyThePasswordAndRestoresTheTerminal) {
    tavrelin::testing::application<QCoreApplication>();
    Pty pty;
    const termios before = pty.settings();
    const platform::Form form{{platform::AlertStyle::informational, "Sign in", "", {"Sign In", "Cancel"}},
                              {{"Server address", "https://dav.example.com/"}, {"User name", ""}, {"Password", "", true}}};
    for (const bool answered : {true, false}) {
        TerminalConsole console(pty.terminal());
        TerminalDialogs dialogs(console);
        console.start();
        std::atomic<bool> passwordAsked = false;
        std::thread typist([&] {
            pty.type("\n  bob \n");
            passwordAsked = pty.awaitEcho(false);
            if (!answered) {
                pty.type(std::string(1, before.c_cc[VEOF]));
                return;
            }
            pty.type("hunter 2 \n");
            pty.awaitEcho(true);
            pty.type("1\n");
        });
        tavrelin::testing::Deadline deadline(60000, "the form was not answered", [&] { console.receiveEnd(); });
        const platform::FormAnswer answer = dialogs.runForm(form);
        typist.join();
        EXPECT_TRUE(passwordAsked);
        const std::string shown = pty.shown();
        EXPECT_THAT(shown, ::testing::HasSubstr("bob")); // an ordinary field echoes
        EXPECT_EQ(shown.find("hunter"), std::string::npos) << shown;
        EXPECT_TRUE(sameSettings(pty.settings(), before));
        if (answered) {
            EXPECT_EQ(answer.button, platform::firstButton);
            EXPECT_EQ(answer.values, (std::vector<std::string>{"https://dav.example.com/", "bob", "hunter 2 "}));
        } else {
            EXPECT_EQ(answer.button, platform::firstButton + 1);
        }
    }
}

} // namespace
