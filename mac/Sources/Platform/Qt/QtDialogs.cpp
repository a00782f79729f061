#include "Platform/Qt/QtDialogs.h"

#include <QAbstractButton>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include <vector>

namespace tavrelin::qt {
namespace {

QMessageBox::Icon iconFor(platform::AlertStyle style) {
    switch (style) {
    case platform::AlertStyle::informational:
        return QMessageBox::Information;
    case platform::AlertStyle::critical:
        return QMessageBox::Critical;
    case platform::AlertStyle::warning:
        break;
    }
    return QMessageBox::Warning;
}

} // namespace

int QtDialogs::runModal(const platform::Alert& alert) {
    QMessageBox box;
    box.setIcon(iconFor(alert.style));
    box.setWindowTitle(QStringLiteral("Tavrelin"));
    // Titles and texts carry host names taken from links: never rich text.
    box.setTextFormat(Qt::PlainText);
    box.setText(QString::fromStdString(alert.title));
    box.setInformativeText(QString::fromStdString(alert.text));
    if (auto* informative = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
        informative->setTextFormat(Qt::PlainText);

    std::vector<std::string> titles = alert.buttons;
    if (titles.empty())
        titles.push_back("OK");
    std::vector<QAbstractButton*> buttons;
    for (const std::string& title : titles) {
        // One role for all keeps them in the order added.
        buttons.push_back(box.addButton(QString::fromStdString(title), QMessageBox::ActionRole));
    }
    box.setDefaultButton(static_cast<QPushButton*>(buttons.front()));
    // Closing the box is the cancelling answer, the last button.
    box.setEscapeButton(buttons.back());

    // A window of its own: a parentless dialog would name Qt's hidden leader
    // window as its parent, which window managers reject.
    box.setWindowFlags((box.windowFlags() & ~Qt::WindowType_Mask) | Qt::Window | Qt::WindowStaysOnTopHint);
    box.show();
    box.raise();
    box.activateWindow();
    box.exec();

    QAbstractButton* clicked = box.clickedButton();
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        if (buttons[i] == clicked)
            return platform::firstButton + static_cast<int>(i);
    }
    return platform::firstButton + static_cast<int>(buttons.size()) - 1;
}

} // namespace tavrelin::qt
