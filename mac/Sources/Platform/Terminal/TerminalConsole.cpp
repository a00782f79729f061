#include "Platform/Terminal/TerminalConsole.h"

#include "Base/Text.h"
#include "Platform/Terminal/HiddenInput.h"

#include <QEventLoop>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace tavrelin::terminal {
namespace {

template <class Text, class... Values> void hint(const std::function<Text>& text, Values... values) {
    if (!text)
        return;
    std::string line = text(values...);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

// The index a line picks, by number (from 1) or by exact title.
std::optional<std::size_t> pick(const std::string& line, const std::vector<std::string>& buttons) {
    if (!line.empty() && line.size() <= 3 &&
        std::all_of(line.begin(), line.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        std::size_t number = std::stoul(line);
        if (number >= 1 && number <= buttons.size())
            return number - 1;
        return std::nullopt;
    }
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        if (buttons[i] == line)
            return i;
    }
    return std::nullopt;
}

// A line longer than this is no command; what came so far is dropped.
constexpr std::size_t maxLineBytes = 64 * 1024;

} // namespace

void printLines(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

// A dialog's wait for its answer: a button, or (without buttons) a line.
struct TerminalConsole::Waiting {
    explicit Waiting(const std::vector<std::string>* buttons) : buttons(buttons) {}
    const std::vector<std::string>* buttons;
    QEventLoop loop;
    bool done = false;
    std::optional<std::size_t> answer;
    std::optional<std::string> line;

    void finish() {
        done = true;
        loop.quit();
    }
};

TerminalConsole::TerminalConsole(int fd) : fd_(fd), context_(std::make_unique<QObject>()) {
    // Commands run from a timer rather than from posted events: a command that
    // opens a dialog runs a nested loop, and events posted before that loop
    // began are not always delivered inside it.
    pumpTimer_.setSingleShot(true);
    pumpTimer_.setInterval(0);
    QObject::connect(&pumpTimer_, &QTimer::timeout, context_.get(), [this] { pump(); });
}

TerminalConsole::~TerminalConsole() = default;

void TerminalConsole::start() {
    if (notifier_ || endReceived_)
        return;
    notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, context_.get(), [this] { readAvailable(); });
}

void TerminalConsole::readAvailable() {
    // One read per wake-up: the descriptor said it is readable, so this does
    // not block, and the descriptor's own flags (shared with the shell) stay.
    char buffer[4096];
    ssize_t count = ::read(fd_, buffer, sizeof buffer);
    if (count < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (count <= 0) {
        notifier_->setEnabled(false);
        receiveEnd();
        return;
    }
    receive(std::string_view(buffer, static_cast<std::size_t>(count)));
    // It may have held a password.
    volatile char* bytes = buffer;
    for (ssize_t i = 0; i < count; ++i)
        bytes[i] = 0;
}

void TerminalConsole::receive(std::string_view bytes) {
    if (endReceived_)
        return;
    partial_.append(bytes);
    std::size_t start = 0;
    for (std::size_t end; (end = partial_.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string_view line = std::string_view(partial_).substr(start, end - start);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        queue_.emplace_back(line);
    }
    // What was taken may hold a password: no copy of it stays behind.
    std::fill(partial_.begin(), partial_.begin() + static_cast<std::ptrdiff_t>(start), '\0');
    partial_.erase(0, start);
    if (partial_.size() > maxLineBytes) {
        text::wipe(partial_);
        hint(routes_.lineTooLong);
    }
    deliver();
}

void TerminalConsole::receiveEnd() {
    if (endReceived_)
        return;
    // A last line without its line feed still counts.
    if (!text::trimmed(partial_).empty())
        queue_.emplace_back(partial_);
    text::wipe(partial_);
    endReceived_ = true;
    queue_.push_back(std::nullopt);
    deliver();
}

void TerminalConsole::deliver() {
    // A waiting dialog takes its answer at once; commands wait for the loop.
    if (!waiting_.empty())
        feedWaiting();
    else if (!queue_.empty())
        pumpTimer_.start();
}

void TerminalConsole::pump() {
    while (!queue_.empty()) {
        if (!waiting_.empty()) {
            feedWaiting();
            return;
        }
        if (const auto& next = queue_.front(); next && waitsForMenu(std::string(text::trimmed(*next))))
            return;
        std::optional<std::string> line = std::move(queue_.front());
        queue_.pop_front();
        if (line)
            route(std::string(text::trimmed(*line)));
        else
            ended_ = true;
    }
}

void TerminalConsole::feedWaiting() {
    while (!waiting_.empty() && !queue_.empty()) {
        Waiting& innermost = *waiting_.back();
        if (innermost.done)
            return; // answered; its loop is on the way out
        if (!queue_.front()) {
            queue_.pop_front();
            ended_ = true;
            for (Waiting* waiting : waiting_)
                waiting->finish();
            return;
        }
        if (!innermost.buttons) {
            // Taken whole; the queue's copy is wiped, as it may be a password.
            innermost.line = *queue_.front();
            text::wipe(*queue_.front());
            queue_.pop_front();
            innermost.finish();
            return;
        }
        const std::string line(text::trimmed(*queue_.front()));
        queue_.pop_front();
        if (line.empty())
            continue;
        if (auto index = pick(line, *innermost.buttons)) {
            innermost.answer = *index;
            innermost.finish();
            return;
        }
        hint(routes_.notAnAnswer, innermost.buttons->size());
    }
}

void TerminalConsole::wait(Waiting& waiting) {
    waiting_.push_back(&waiting);
    feedWaiting(); // lines that came before the dialog
    if (!waiting.done)
        waiting.loop.exec();
    waiting_.erase(std::find(waiting_.begin(), waiting_.end(), &waiting));
    if (!queue_.empty())
        pumpTimer_.start(); // for an outer dialog or the commands after this one
}

std::size_t TerminalConsole::awaitAnswer(const std::vector<std::string>& buttons) {
    std::size_t last = buttons.empty() ? 0 : buttons.size() - 1;
    if (ended_ || buttons.empty())
        return last;
    Waiting waiting{&buttons};
    wait(waiting);
    // The end of input, or the application quitting, gives no answer.
    return waiting.answer.value_or(last);
}

std::optional<std::string> TerminalConsole::awaitLine(const std::string& prompt, bool hidden) {
    if (ended_)
        return std::nullopt;
    Waiting waiting{nullptr};
    {
        EchoOff quiet(hidden ? fd_ : -1);
        printLines(prompt);
        wait(waiting);
    }
    std::optional<std::string> line = waiting.line;
    if (waiting.line)
        text::wipe(*waiting.line);
    return line;
}

bool TerminalConsole::waitsForMenu(const std::string& line) const {
    const bool forMenu = !line.empty() && line != "quit" && line.rfind("open ", 0) != 0;
    return forMenu && routes_.menuReady && !routes_.menuReady();
}

void TerminalConsole::route(const std::string& line) {
    if (line.empty())
        return;
    if (line == "menu") {
        if (routes_.showMenu)
            routes_.showMenu();
    } else if (line == "quit") {
        if (routes_.quit)
            routes_.quit();
    } else if (line.rfind("open ", 0) == 0) {
        std::string url(text::trimmed(std::string_view(line).substr(5)));
        if (routes_.openURL && !url.empty())
            routes_.openURL(url);
    } else if (!routes_.chooseMenuItem || !routes_.chooseMenuItem(line)) {
        hint(routes_.unknownCommand);
    }
}

} // namespace tavrelin::terminal
