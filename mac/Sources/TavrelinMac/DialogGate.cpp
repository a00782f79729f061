#include "TavrelinMac/DialogGate.h"

namespace tavrelin {

std::optional<int> DialogGate::run(const platform::Alert& alert) {
    if (application_.isTerminating())
        return std::nullopt;
    application_.activate();
    ++depth_;
    const int answer = dialogs_.runModal(alert);
    --depth_;
    if (depth_ == 0 && onClosed) {
        // Posted, not called: whoever opened the dialog acts on the answer
        // first (an unpair confirmed before a waiting link is paired).
        auto closed = onClosed;
        mainLoop_.post([closed] { closed(); });
    }
    if (application_.isTerminating())
        return std::nullopt;
    return answer;
}

} // namespace tavrelin
