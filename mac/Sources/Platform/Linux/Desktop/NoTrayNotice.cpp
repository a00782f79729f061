#include "Platform/Linux/Desktop/NoTrayNotice.h"

#include <QMessageBox>

namespace tavrelin::qt {

const QString& NoTrayNotice::title() {
    static const QString text = QStringLiteral("Tavrelin is running without an icon");
    return text;
}

const QString& NoTrayNotice::text() {
    static const QString text =
        QStringLiteral("This desktop has no system tray, so Tavrelin’s icon and menu can’t be shown. Tavrelin keeps collecting "
                       "your reminders all the same.\n\n"
                       "To get the icon, add a system tray (status notifier) to your panel, or on GNOME install an extension "
                       "for AppIndicator and StatusNotifier icons. The icon appears as soon as there is a tray.\n\n"
                       "To quit Tavrelin without the icon, run:\n    tavrelin-agent --quit");
    return text;
}

bool NoTrayNotice::showOnce(platform::UserDefaults& defaults) {
    if (defaults.boolForKey(shownKey))
        return false;
    // Set first, so a crash while it is open does not repeat it.
    defaults.setBool(shownKey, true);
    auto* box = new QMessageBox(QMessageBox::Information, QStringLiteral("Tavrelin"), title(), QMessageBox::Ok);
    box->setTextFormat(Qt::PlainText);
    box->setInformativeText(text());
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    // A window of its own rather than a dialog of Qt's hidden leader window,
    // which window managers reject as a parent.
    box->setWindowFlags((box->windowFlags() & ~Qt::WindowType_Mask) | Qt::Window);
    box->show();
    box_ = box;
    return true;
}

void NoTrayNotice::close() {
    if (box_)
        box_->close(); // deletes it
}

} // namespace tavrelin::qt
