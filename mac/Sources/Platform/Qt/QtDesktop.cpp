#include "Platform/Qt/QtDesktop.h"

#include <QDesktopServices>
#include <QUrl>
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

bool openWithDesktop(const std::string& url) {
    return QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
}

} // namespace tavrelin::qt
