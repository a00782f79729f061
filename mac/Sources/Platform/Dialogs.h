#pragma once

#include <string>
#include <vector>

namespace tavrelin::platform {

enum class AlertStyle { warning = 0, informational = 1, critical = 2 };

struct Alert {
    AlertStyle style = AlertStyle::warning;
    std::string title;
    std::string text;
    // In order; none means the platform's single default button.
    std::vector<std::string> buttons;
};

// The first button answers this; the second one more, and so on.
inline constexpr int firstButton = 1000;

class Dialogs {
public:
    virtual ~Dialogs() = default;
    // Modal: blocks the main thread (timers keep firing) until answered.
    virtual int runModal(const Alert& alert) = 0;
};

} // namespace tavrelin::platform
