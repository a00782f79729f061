#include "Platform/Qt/QtStatusItem.h"

#include "Platform/Qt/QtIconRenderer.h"

#include <QAction>
#include <QCursor>
#include <QKeySequence>

namespace tavrelin::qt {

namespace {

// Everything the menu shows of the items, to tell whether a rebuild changes anything.
void sign(std::string& out, const std::vector<platform::MenuItem>& items) {
    for (const auto& item : items) {
        out += item.separator ? "-" : (item.enabled ? "+" : " ");
        out += std::to_string(item.indentation) + "|" + item.keyEquivalent + "|" + item.title + "\n";
        if (!item.submenu.empty()) {
            out += "{\n";
            sign(out, item.submenu);
            out += "}\n";
        }
    }
}

QString menuText(const platform::MenuItem& item) {
    QString text = QString::fromStdString(item.title);
    text.replace('&', "&&"); // a lone ampersand would become a mnemonic
    // Four spaces a level, as close as a plain menu gets to an indent.
    return QString(4 * std::max(item.indentation, 0), ' ') + text;
}

} // namespace

QtStatusItem::QtStatusItem() {
    tray_.setContextMenu(&menu_);
    connect(&menu_, &QMenu::aboutToShow, this, [this] { rebuildMenu(); });
    connect(&tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        // The context menu opens by itself on a right click; a left click
        // opens it too, as a click on the status item's button does.
        if (reason == QSystemTrayIcon::Trigger)
            performClick();
    });
    refresh_.setInterval(refreshMilliseconds);
    connect(&refresh_, &QTimer::timeout, this, [this] { rebuildMenu(); });
    refresh_.start();
}

QtStatusItem::~QtStatusItem() = default;

void QtStatusItem::setImage(const platform::Drawing& image) {
    tray_.setIcon(QtIconRenderer::icon(image));
    if (!tray_.isVisible())
        tray_.show();
}

void QtStatusItem::setToolTip(const std::string& toolTip) {
    tray_.setToolTip(QString::fromStdString(toolTip));
    // Every state change sets the tool tip, even when its text stays the same.
    scheduleRebuild();
}

void QtStatusItem::setMenuProvider(std::function<std::vector<platform::MenuItem>()> provider) {
    provider_ = std::move(provider);
    scheduleRebuild();
}

void QtStatusItem::performClick() {
    rebuildMenu();
    const QRect geometry = tray_.geometry();
    menu_.popup(geometry.isValid() && !geometry.isEmpty() ? geometry.center() : QCursor::pos());
}

void QtStatusItem::scheduleRebuild() {
    // Deferred and coalesced: the caller may be inside a menu action whose
    // QAction a synchronous rebuild would delete.
    if (rebuildScheduled_)
        return;
    rebuildScheduled_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            rebuildScheduled_ = false;
            rebuildMenu();
        },
        Qt::QueuedConnection);
}

void QtStatusItem::rebuildMenu() {
    const auto items = provider_ ? provider_() : std::vector<platform::MenuItem>{};
    std::string signature;
    sign(signature, items);
    if (signature == shownSignature_)
        return;
    shownSignature_ = signature;
    menu_.clear();
    for (QMenu* submenu : submenus_)
        submenu->deleteLater();
    submenus_.clear();
    fill(menu_, items);
}

void QtStatusItem::fill(QMenu& menu, const std::vector<platform::MenuItem>& items) {
    for (const auto& item : items) {
        if (item.separator) {
            menu.addSeparator();
            continue;
        }
        if (!item.submenu.empty()) {
            auto* submenu = new QMenu(menuText(item), &menu_);
            submenus_.push_back(submenu);
            fill(*submenu, item.submenu);
            QAction* holder = menu.addMenu(submenu);
            holder->setEnabled(item.enabled);
            continue;
        }
        QAction* action = menu.addAction(menuText(item));
        action->setEnabled(item.enabled);
        if (item.keyEquivalent.size() == 1) {
            const QChar key = QChar::fromLatin1(item.keyEquivalent[0]).toUpper();
            action->setShortcut(QKeySequence(QKeyCombination(Qt::ControlModifier, static_cast<Qt::Key>(key.unicode()))));
            action->setShortcutVisibleInContextMenu(true);
        }
        if (item.action) {
            connect(action, &QAction::triggered, this, [this, run = item.action] {
                // Run after the menu has closed and the trigger has returned:
                // the action may open a modal dialog or change the state,
                // which rebuilds this menu and deletes the QAction.
                QMetaObject::invokeMethod(this, run, Qt::QueuedConnection);
            });
        }
    }
}

std::unique_ptr<platform::StatusItem> QtStatusBar::makeStatusItem() {
    return std::make_unique<QtStatusItem>();
}

} // namespace tavrelin::qt
