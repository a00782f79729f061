#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrelin::terminal {

// Writes protocol lines to standard output and flushes them at once, so a
// program reading through a pipe sees each block as soon as it is printed.
void printLines(std::string_view text);

// The headless agent's standard input, read on the main thread a line at a
// time. While a dialog waits, the next line answers it; otherwise a line is a
// command:
//   menu               print the status menu
//   <number>|<title>   choose an item of the menu
//   open <url>         open a URL as the system would hand it to the agent
//   quit               quit
// End of input answers every waiting dialog with its last button, which is
// always the cancelling one, and later dialogs too. Outside a dialog it does
// nothing: the agent keeps running until "quit" or a signal, so a script may
// close its input and leave the agent delivering.
class TerminalConsole {
public:
    struct Routes {
        std::function<void()> showMenu;
        // Answers false when no enabled item matches the line.
        std::function<bool(const std::string& line)> chooseMenuItem;
        std::function<void(const std::string& url)> openURL;
        std::function<void()> quit;
        // Menu commands typed before the menu exists wait for it (and the
        // lines after them keep their order); see resume().
        std::function<bool()> menuReady;
        // What it tells the person, on standard error, of a line it cannot
        // use: one too long, a dialog's answer that picks no button (of
        // `buttons`), a command it does not know. Unset, it says nothing.
        std::function<std::string()> lineTooLong;
        std::function<std::string(std::size_t buttons)> notAnAnswer;
        std::function<std::string()> unknownCommand;
    };

    // Does not read yet; see start().
    explicit TerminalConsole(int fd = 0);
    ~TerminalConsole();
    TerminalConsole(const TerminalConsole&) = delete;
    TerminalConsole& operator=(const TerminalConsole&) = delete;

    void setRoutes(Routes routes) { routes_ = std::move(routes); }
    // Starts reading the descriptor from the event loop.
    void start();
    // Goes on with the lines held back for the menu.
    void resume() { deliver(); }

    // Runs a nested event loop until a line picks one of the buttons; answers
    // its index. Timers and posted blocks keep running meanwhile.
    std::size_t awaitAnswer(const std::vector<std::string>& buttons);
    // Prints `prompt`, then runs a nested event loop until the next line, and
    // answers it as typed (without its line break; an empty line too). None
    // at the end of input or when the application quits meanwhile. A hidden
    // line (a password) is not echoed by a terminal, from before the prompt
    // shows; the terminal gets its settings back however the wait ends, and
    // the console keeps no copy of the line.
    std::optional<std::string> awaitLine(const std::string& prompt, bool hidden);

    // Hands bytes over as if read; for tests and for the reader itself.
    void receive(std::string_view bytes);
    void receiveEnd();

private:
    struct Waiting;
    void readAvailable();
    void deliver();
    void pump();
    void feedWaiting();
    void wait(Waiting& waiting);
    bool waitsForMenu(const std::string& line) const;
    void route(const std::string& line);

    int fd_;
    Routes routes_;
    std::string partial_;
    // Lines not handled yet, as typed; none stands for the end of input.
    std::deque<std::optional<std::string>> queue_;
    bool endReceived_ = false;      // read
    bool ended_ = false;            // and acted on, after the lines before it
    std::vector<Waiting*> waiting_; // innermost last
    std::unique_ptr<QObject> context_;
    std::unique_ptr<QSocketNotifier> notifier_;
    QTimer pumpTimer_;
};

} // namespace tavrelin::terminal
