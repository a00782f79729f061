#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace tavrelin {

// The one diagnostic log: "HH:mm:ss level message" lines on standard error.
// Callable from any thread.
class Log {
public:
    static void write(std::string_view level, std::string_view message);

    static void info(std::string_view message) { write("info", message); }
    static void warn(std::string_view message) { write("warn", message); }
    static void error(std::string_view message) { write("error", message); }

    // Sees every line (without its line feed) after it went to standard
    // error: the agent's log file, or a test that checks what was logged. It
    // may be called from several threads at once and must not throw. Set it
    // while no other thread logs.
    static void setTap(std::function<void(const std::string& line)> tap);
};

} // namespace tavrelin
