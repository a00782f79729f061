#include "TavrelinMac/Logging.h"

#include <cstdio>
#include <ctime>
#include <mutex>

namespace tavrelin {
namespace {

struct State {
    std::mutex lock;
    std::function<void(const std::string&)> tap;
};

// Created on first use; a function-local static is initialised once even when
// two threads get here together.
State& state() {
    static State* s = new State; // never destroyed: threads may log during exit
    return *s;
}

std::string stamp() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

} // namespace

void Log::write(std::string_view level, std::string_view message) {
    std::string line = stamp();
    line.reserve(line.size() + level.size() + message.size() + 3);
    line += ' ';
    line += level;
    line += ' ';
    line += message;

    State& s = state();
    std::function<void(const std::string&)> tap;
    {
        std::lock_guard guard(s.lock);
        tap = s.tap;
    }

    // Outside the lock. Standard error is unbuffered, so the whole line leaves
    // in one write call, and the stream's own lock keeps concurrent lines whole.
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    if (tap) {
        line.pop_back();
        tap(line);
    }
}

void Log::setTap(std::function<void(const std::string& line)> tap) {
    State& s = state();
    std::lock_guard guard(s.lock);
    s.tap = std::move(tap);
}

} // namespace tavrelin
