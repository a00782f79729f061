#include "TavrelinMac/DialogGate.h"

#include "Base/Text.h"

namespace tavrelin {

bool DialogGate::show(const std::function<void()>& modal) {
    if (application_.isTerminating())
        return false;
    application_.activate();
    ++depth_;
    modal();
    --depth_;
    if (depth_ == 0 && onClosed) {
        // Posted, not called: whoever opened the dialog acts on the answer
        // first (an unpair confirmed before a waiting link is paired).
        auto closed = onClosed;
        mainLoop_.post([closed] { closed(); });
    }
    return !application_.isTerminating();
}

std::optional<int> DialogGate::run(const platform::Alert& alert) {
    int answer = 0;
    if (!show([&] { answer = dialogs_.runModal(alert); }))
        return std::nullopt;
    return answer;
}

std::optional<platform::FormAnswer> DialogGate::runForm(const platform::Form& form) {
    std::optional<platform::FormAnswer> answer;
    if (!show([&] { answer = dialogs_.runForm(form); }) && answer) {
        for (std::string& value : answer->values)
            text::wipe(value);
        answer.reset();
    }
    return answer;
}

} // namespace tavrelin
