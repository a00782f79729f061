#pragma once

#include "Platform/Workspace.h"

#include <QString>

namespace tavrelin::qt {

// What a desktop without a system tray is told, once: that the agent runs on
// without an icon, how to get one, and how to quit. The box does not wait for
// an answer, so delivery and the agent's own dialogs go on meanwhile.
class NoTrayNotice {
public:
    // Set once the notice has been shown, so it is shown on the first such
    // launch only.
    static constexpr const char* shownKey = "com.tavrelin.mac.hasShownNoTrayNotice";

    static const QString& title();
    static const QString& text();

    // Shows the notice unless it was shown before; answers whether it did.
    // Needs a QApplication.
    static bool showOnce(platform::UserDefaults& defaults);
};

} // namespace tavrelin::qt
