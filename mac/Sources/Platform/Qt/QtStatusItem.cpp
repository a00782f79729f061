#include "Platform/Qt/QtStatusItem.h"

#include "Platform/Qt/QtIconRenderer.h"

#include <QAction>
#include <QCursor>
#include <QKeySequence>

#include <map>

namespace tavrelin::qt {

struct QtStatusItem::Entry {
    std::string key;
    QAction* action = nullptr;
    std::unique_ptr<Level> submenu;
};

namespace {

QString menuText(const platform::MenuItem& item) {
    QString text = QString::fromStdString(item.title);
    text.replace('&', "&&"); // a lone ampersand would become a mnemonic
    // Four spaces a level, as close as a plain menu gets to an indent.
    return QString(4 * std::max(item.indentation, 0), ' ') + text;
}

QKeySequence shortcut(const platform::MenuItem& item) {
    if (item.keyEquivalent.size() != 1)
        return {};
    const QChar key = QChar::fromLatin1(item.keyEquivalent[0]).toUpper();
    return QKeySequence(QKeyCombination(Qt::ControlModifier, static_cast<Qt::Key>(key.unicode())));
}

// What makes an entry the same entry from one state to the next: its title
// for entries one can choose (their titles are fixed), its place among its
// kind for separators and texts (theirs change: "Last checked 10s ago").
std::vector<std::string> keys(const std::vector<platform::MenuItem>& items) {
    std::vector<std::string> out;
    std::map<std::string, int> seen;
    int separators = 0, texts = 0;
    for (const auto& item : items) {
        std::string key;
        if (item.separator)
            key = "-" + std::to_string(separators++);
        else if (!item.submenu.empty())
            key = "s" + item.title;
        else if (item.action)
            key = "a" + item.title;
        else
            key = "t" + std::to_string(texts++);
        const int n = seen[key]++;
        out.push_back(n ? key + "#" + std::to_string(n) : key);
    }
    return out;
}

// Everything the menu shows of the items, to tell whether anything changed.
void sign(std::string& out, const std::vector<platform::MenuItem>& items) {
    for (const auto& item : items) {
        out += item.separator ? "-" : (item.enabled ? "+" : " ");
        out += std::to_string(item.indentation) + "|" + item.keyEquivalent + "|" + (item.action ? "a" : "") + "|" +
               (item.checked ? (*item.checked ? "[x]" : "[ ]") : "") + item.title + "\n";
        if (!item.submenu.empty()) {
            out += "{\n";
            sign(out, item.submenu);
            out += "}\n";
        }
    }
}

std::string signature(const std::vector<platform::MenuItem>& items) {
    std::string out;
    sign(out, items);
    return out;
}

} // namespace

QtStatusItem::QtStatusItem(std::shared_ptr<QtTrayHost> host, Callbacks callbacks)
    : host_(std::move(host)), callbacks_(std::move(callbacks)) {
    top_.menu = &menu_;
    connect(&menu_, &QMenu::aboutToShow, this, &QtStatusItem::menuOpened);
    connect(&menu_, &QMenu::aboutToHide, this, &QtStatusItem::menuClosed);

    flush_.setSingleShot(true);
    flush_.setInterval(flushMilliseconds);
    connect(&flush_, &QTimer::timeout, this, &QtStatusItem::flush);

    aging_.setInterval(agingMilliseconds);
    connect(&aging_, &QTimer::timeout, this, [this] {
        // A host may never say that its menu closed.
        if (!menu_.isVisible() && openedAt_.elapsed() > longestOpenMilliseconds)
            aging_.stop();
        else
            syncMenu();
    });

    grace_.setSingleShot(true);
    grace_.setInterval(trayGraceMilliseconds);
    connect(&grace_, &QTimer::timeout, this, [this] {
        if (!tray_ && callbacks_.noTray)
            callbacks_.noTray();
    });

    if (host_) {
        connect(host_.get(), &QtTrayHost::changed, this, &QtStatusItem::checkTray);
        connect(host_.get(), &QtTrayHost::schemeChanged, this, [this] {
            exportedImage_.reset(); // same drawing, other colours
            scheduleFlush();
        });
        if (host_->present()) {
            trayAppeared();
        } else {
            madeWithoutTray_ = true;
            grace_.start();
        }
    }
}

QtStatusItem::~QtStatusItem() {
    // The tray refers to the menu: it goes first.
    tray_.reset();
}

void QtStatusItem::setImage(const platform::Drawing& image) {
    image_ = image;
    reconsider();
}

void QtStatusItem::setToolTip(const std::string& toolTip) {
    toolTip_ = toolTip;
    // Every state change sets the tool tip: the menu follows it.
    menuDirty_ = provider_ && signature(provider_()) != shownSignature_;
    reconsider();
}

void QtStatusItem::reconsider() {
    // A poll that ends before the flush leaves the tray as it was: nothing to
    // send, and no reason to wake up for it.
    const bool traySame = !tray_ || (exportedImage_ == image_ && exportedToolTip_ == toolTip_);
    if (menuDirty_ || !traySame)
        scheduleFlush();
    else
        flush_.stop();
}

void QtStatusItem::setMenuProvider(std::function<std::vector<platform::MenuItem>()> provider) {
    provider_ = std::move(provider);
    // Deferred: the caller may still be putting itself together.
    QMetaObject::invokeMethod(this, &QtStatusItem::syncMenu, Qt::QueuedConnection);
}

void QtStatusItem::performClick() {
    syncMenu();
    const QRect geometry = tray_ ? tray_->geometry() : QRect();
    menu_.popup(geometry.isValid() && !geometry.isEmpty() ? geometry.center() : QCursor::pos());
}

void QtStatusItem::scheduleFlush() {
    if (!flush_.isActive())
        flush_.start();
}

void QtStatusItem::flush() {
    flush_.stop();
    if (menuDirty_) {
        menuDirty_ = false;
        syncMenu();
    }
    if (!tray_)
        return;
    if (image_ && exportedImage_ != image_) {
        exportedIcon_ = QtIconRenderer::icon(*image_, colors());
        tray_->setIcon(exportedIcon_);
        exportedImage_ = image_;
        ++iconUpdates_;
    }
    if (exportedToolTip_ != toolTip_) {
        tray_->setToolTip(QString::fromStdString(toolTip_));
        exportedToolTip_ = toolTip_;
    }
    if (!tray_->isVisible() && exportedImage_)
        tray_->show();
}

void QtStatusItem::checkTray() {
    if (!tray_ && host_ && host_->present())
        trayAppeared();
}

void QtStatusItem::trayAppeared() {
    if (tray_)
        return;
    grace_.stop();
    tray_ = std::make_unique<QSystemTrayIcon>();
    tray_->setContextMenu(&menu_);
    connect(tray_.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        // The context menu opens by itself on a right click; a left click
        // opens it too, as a click on the status item's button does.
        if (reason == QSystemTrayIcon::Trigger)
            performClick();
    });
    exportedImage_.reset();
    exportedToolTip_.reset();
    flush();
    if (madeWithoutTray_ && callbacks_.trayAppeared)
        callbacks_.trayAppeared();
}

IconColors QtStatusItem::colors() const {
    return IconColors::forPanel(host_ ? host_->scheme() : PanelScheme::unknown);
}

void QtStatusItem::menuOpened() {
    // Answered at once: the menu already follows the state. Its texts age
    // while it is open, from right after this answer.
    openedAt_.restart();
    if (!aging_.isActive())
        aging_.start();
    QMetaObject::invokeMethod(this, &QtStatusItem::syncMenu, Qt::QueuedConnection);
}

void QtStatusItem::menuClosed() {
    aging_.stop();
}

void QtStatusItem::syncMenu() {
    const std::vector<platform::MenuItem> items = provider_ ? provider_() : std::vector<platform::MenuItem>{};
    std::string shown = signature(items);
    if (shown == shownSignature_ && !top_.entries.empty())
        return;
    update(top_, items);
    shownSignature_ = std::move(shown);
}

void QtStatusItem::update(Level& level, const std::vector<platform::MenuItem>& items) {
    auto hide = [this](Entry& entry) {
        if (entry.action->isVisible())
            entry.action->setVisible(false);
        actions_[entry.action] = nullptr;
    };
    // A menu whose shape keeps changing would only ever grow: start it afresh.
    if (level.entries.size() > 4 * items.size() + 32) {
        for (auto& entry : level.entries) {
            actions_.erase(entry->action);
            if (entry->submenu)
                delete entry->submenu->menu;
            else
                delete entry->action;
        }
        level.entries.clear();
    }

    const std::vector<std::string> itemKeys = keys(items);
    std::size_t pos = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const platform::MenuItem& item = items[i];
        std::size_t found = pos;
        while (found < level.entries.size() && level.entries[found]->key != itemKeys[i])
            ++found;
        if (found < level.entries.size()) {
            // The same entry further down: what lies between is gone now.
            for (std::size_t k = pos; k < found; ++k)
                hide(*level.entries[k]);
        } else {
            auto entry = std::make_unique<Entry>();
            entry->key = itemKeys[i];
            QAction* before = pos < level.entries.size() ? level.entries[pos]->action : nullptr;
            if (!item.submenu.empty()) {
                entry->submenu = std::make_unique<Level>();
                entry->submenu->menu = new QMenu(&menu_);
                entry->action = entry->submenu->menu->menuAction();
            } else {
                entry->action = new QAction(level.menu);
                entry->action->setSeparator(item.separator);
                entry->action->setShortcutVisibleInContextMenu(true);
                QAction* action = entry->action;
                connect(action, &QAction::triggered, this, [this, action] {
                    auto it = actions_.find(action);
                    if (it == actions_.end() || !it->second || !action->isEnabled() || !action->isVisible())
                        return;
                    // Run once the trigger has returned: the action may open
                    // a modal dialog, and a host waits for its click's answer.
                    QMetaObject::invokeMethod(this, it->second, Qt::QueuedConnection);
                });
            }
            level.menu->insertAction(before, entry->action);
            found = pos;
            level.entries.insert(level.entries.begin() + static_cast<std::ptrdiff_t>(pos), std::move(entry));
        }
        Entry& entry = *level.entries[found];
        pos = found + 1;
        QAction* action = entry.action;
        if (!item.separator) {
            const QString text = menuText(item);
            if (action->text() != text) {
                if (entry.submenu)
                    entry.submenu->menu->setTitle(text);
                else
                    action->setText(text);
            }
            if (action->isEnabled() != item.enabled)
                action->setEnabled(item.enabled);
            const QKeySequence keys = shortcut(item);
            if (action->shortcut() != keys)
                action->setShortcut(keys);
            if (action->isCheckable() != item.checked.has_value())
                action->setCheckable(item.checked.has_value());
            if (action->isChecked() != item.checked.value_or(false))
                action->setChecked(item.checked.value_or(false));
        }
        if (!action->isVisible())
            action->setVisible(true);
        actions_[action] = item.action;
        if (entry.submenu)
            update(*entry.submenu, item.submenu);
    }
    for (std::size_t k = pos; k < level.entries.size(); ++k)
        hide(*level.entries[k]);
}

QtStatusBar::QtStatusBar(QtStatusItem::Callbacks callbacks) : callbacks_(std::move(callbacks)) {}

std::unique_ptr<platform::StatusItem> QtStatusBar::makeStatusItem() {
    if (!host_)
        host_ = std::make_shared<QtTrayHost>();
    return std::make_unique<QtStatusItem>(host_, callbacks_);
}

} // namespace tavrelin::qt
