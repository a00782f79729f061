#pragma once

#include "Platform/Workspace.h"

#include <QMessageBox>
#include <QPointer>
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
    bool showOnce(platform::UserDefaults& defaults);
    // Closes the notice if it is still open: a tray appeared, and the icon
    // says the rest.
    void close();
    bool isOpen() const { return !box_.isNull(); }

private:
    QPointer<QMessageBox> box_;
};

} // namespace tavrelin::qt
