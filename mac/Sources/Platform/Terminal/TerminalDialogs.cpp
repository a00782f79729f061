#include "Platform/Terminal/TerminalDialogs.h"

#include "Base/Text.h"

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

std::string heading(const char* kind, const platform::Alert& alert) {
    std::string text = kind;
    text += styleName(alert.style);
    text += '\n';
    text += alert.title + '\n';
    if (!alert.text.empty())
        text += alert.text + '\n';
    return text;
}

std::string buttonLines(const platform::Alert& alert) {
    std::string text;
    std::vector<std::string> buttons = buttonsOf(alert);
    for (std::size_t i = 0; i < buttons.size(); ++i)
        text += std::to_string(i + 1) + ". " + buttons[i] + '\n';
    return text + "[end]\n";
}

} // namespace

std::string TerminalDialogs::format(const platform::Alert& alert) {
    return heading("[alert] ", alert) + buttonLines(alert);
}

int TerminalDialogs::runModal(const platform::Alert& alert) {
    printLines(format(alert));
    return platform::firstButton + static_cast<int>(console_.awaitAnswer(buttonsOf(alert)));
}

platform::FormAnswer TerminalDialogs::runForm(const platform::Form& form) {
    const int cancel = platform::firstButton + static_cast<int>(buttonsOf(form.alert).size()) - 1;
    platform::FormAnswer answer{cancel, {}};
    printLines(heading("[form] ", form.alert));
    for (const platform::TextField& field : form.fields) {
        const std::string shown = field.hidden ? " (hidden)" : field.value.empty() ? std::string() : " [" + field.value + "]";
        std::optional<std::string> line = console_.awaitLine("[field] " + field.label + shown + "\n", field.hidden);
        if (!line) {
            // Ended before every field was there: cancelled.
            for (std::string& value : answer.values)
                text::wipe(value);
            answer.values.assign(form.fields.size(), std::string());
            return answer;
        }
        if (field.hidden) {
            answer.values.push_back(*line);
        } else {
            const std::string_view typed = text::trimmed(*line);
            answer.values.push_back(typed.empty() ? field.value : std::string(typed));
        }
        text::wipe(*line);
    }
    printLines(buttonLines(form.alert));
    answer.button = platform::firstButton + static_cast<int>(console_.awaitAnswer(buttonsOf(form.alert)));
    return answer;
}

bool printOpenedURL(const std::string& url) {
    printLines("[open] " + url + "\n");
    return true;
}

} // namespace tavrelin::terminal
