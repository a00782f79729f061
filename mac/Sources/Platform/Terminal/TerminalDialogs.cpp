#include "Platform/Terminal/TerminalDialogs.h"

namespace tavrelin::terminal {
namespace {

const char* styleName(platform::AlertStyle style) {
    switch (style) {
    case platform::AlertStyle::informational:
        return "informational";
    case platform::AlertStyle::critical:
        return "critical";
    case platform::AlertStyle::warning:
        break;
    }
    return "warning";
}

std::vector<std::string> buttonsOf(const platform::Alert& alert) {
    if (alert.buttons.empty())
        return {"OK"};
    return alert.buttons;
}

} // namespace

std::string TerminalDialogs::format(const platform::Alert& alert) {
    std::string text = "[alert] ";
    text += styleName(alert.style);
    text += '\n';
    text += alert.title + '\n';
    if (!alert.text.empty())
        text += alert.text + '\n';
    std::vector<std::string> buttons = buttonsOf(alert);
    for (std::size_t i = 0; i < buttons.size(); ++i)
        text += std::to_string(i + 1) + ". " + buttons[i] + '\n';
    text += "[end]\n";
    return text;
}

int TerminalDialogs::runModal(const platform::Alert& alert) {
    printLines(format(alert));
    return platform::firstButton + static_cast<int>(console_.awaitAnswer(buttonsOf(alert)));
}

bool printOpenedURL(const std::string& url) {
    printLines("[open] " + url + "\n");
    return true;
}

} // namespace tavrelin::terminal
