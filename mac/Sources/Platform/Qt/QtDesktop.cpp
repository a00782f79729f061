#include "Platform/Qt/QtDesktop.h"

#include <QStandardPaths>
#include <QWidget>

namespace tavrelin::qt {

void prepareDesktopApplication(QApplication& app) {
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Tavrelin"));
    QGuiApplication::setDesktopFileName(QStringLiteral("tavrelin-agent"));
    // Closing the last dialog must not end a tray application.
    app.setQuitOnLastWindowClosed(false);
}

void activateWindows() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible()) {
            widget->raise();
            widget->activateWindow();
        }
    }
}

// Not QDesktopServices: its launcher would inherit the variables the agent
// keeps for itself.
bool openWithDesktop(platform::Processes& processes, const std::string& url) {
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (opener.isEmpty())
        return false;
    try {
        processes.launchDetached(opener.toStdString(), {url});
        return true;
    } catch (const platform::ProcessError&) {
        return false;
    }
}

} // namespace tavrelin::qt
