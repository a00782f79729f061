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

// One line of text a form asks for.
struct TextField {
    std::string label;
    std::string value; // shown at first, to keep or change
    // A password: never shown, never echoed while typed.
    bool hidden = false;
};

// An alert that asks for text: its fields come between the text and the buttons.
struct Form {
    Alert alert;
    std::vector<TextField> fields;
};

struct FormAnswer {
    int button = firstButton;
    // The fields' texts in order, as typed (not trimmed). Whoever asked wipes
    // a hidden one once done with it (text::wipe).
    std::vector<std::string> values;
};

class Dialogs {
public:
    virtual ~Dialogs() = default;
    // Modal: blocks the main thread (timers keep firing) until answered.
    virtual int runModal(const Alert& alert) = 0;
    // Modal like runModal. Closing it answers the last (cancelling) button.
    virtual FormAnswer runForm(const Form& form) = 0;
};

} // namespace tavrelin::platform
