#include "Platform/Qt/QtStatusItem.h"

#include "Platform/MainLoop.h"
#include "Platform/Qt/QtIconRenderer.h"

#include <QAction>
#include <QCursor>
#include <QGuiApplication>
#include <QKeySequence>

#include <algorithm>
#include <map>
#include <set>

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

// What makes an entry the same entry from one state to the next: its id (the
// title when it has none) and whether it holds a submenu, which takes another
// kind of QAction. Ids repeated by mistake are told apart by their order.
std::vector<std::string> keys(const std::vector<platform::MenuItem>& items) {
    std::vector<std::string> out;
    std::map<std::string, int> seen;
    for (const auto& item : items) {
        const std::string key = (item.submenu.empty() ? "=" : ">") + (item.id.empty() ? item.title : item.id);
        const int n = seen[key]++;
        out.push_back(n ? key + "#" + std::to_string(n) : key);
    }
    return out;
}

// Everything the menu shows of the items, to tell whether anything changed.
void sign(std::string& out, const std::vector<platform::MenuItem>& items) {
    for (const auto& item : items) {
        out += item.separator ? "-" : (item.enabled ? "+" : " ");
        out += std::to_string(item.indentation) + "|" + item.keyEquivalent + "|" + (item.action ? "a" : "") + "|" + item.id +
               "|" + (item.checked ? (*item.checked ? "[x]" : "[ ]") : "") + item.title + "\n";
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

QtStatusItem::QtStatusItem(platform::MainLoop& mainLoop, std::shared_ptr<QtTrayHost> host, Callbacks callbacks)
    : mainLoop_(mainLoop), host_(std::move(host)), callbacks_(std::move(callbacks)) {
    top_.menu = &menu_;
    connect(&menu_, &QMenu::aboutToShow, this, &QtStatusItem::menuOpened);
    connect(&menu_, &QMenu::aboutToHide, this, &QtStatusItem::menuClosed);

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
            // The timers are the item's own: they go with it. A tray that
            // appears in time cancels this one.
            grace_ = mainLoop_.repeating(trayGraceSeconds, [this] {
                grace_.reset();
                if (callbacks_.noTray)
                    callbacks_.noTray();
            });
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
        flush_.reset();
}

void QtStatusItem::setMenuProvider(std::function<std::vector<platform::MenuItem>()> provider) {
    provider_ = std::move(provider);
    // Deferred: the caller may still be putting itself together.
    QMetaObject::invokeMethod(this, &QtStatusItem::syncMenu, Qt::QueuedConnection);
}

std::optional<QPoint> QtStatusItem::iconPoint() const {
    if (!tray_)
        return std::nullopt;
    // An XEmbed icon is a window of ours, so its place is known; a
    // StatusNotifier host tells only where it was clicked.
    const QRect geometry = tray_->geometry();
    if (geometry.isValid() && !geometry.isEmpty())
        return geometry.center();
    return clickedAt_;
}

void QtStatusItem::performClick() {
    const auto at = iconPoint();
    if (!at)
        return;
    syncMenu();
    menu_.popup(*at);
}

void QtStatusItem::scheduleFlush() {
    if (!flush_)
        flush_ = mainLoop_.repeating(flushSeconds, [this] { flush(); });
}

void QtStatusItem::flush() {
    flush_.reset();
    if (menuDirty_) {
        menuDirty_ = false;
        syncMenu();
    }
    if (!tray_)
        return;
    if (image_ && exportedImage_ != image_) {
        tray_->setIcon(QtIconRenderer::icon(*image_, colors()));
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
    grace_.reset();
    tray_ = std::make_unique<QSystemTrayIcon>();
    tray_->setContextMenu(&menu_);
    connect(tray_.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        // A StatusNotifier host passes the point it was clicked at, which Qt
        // drops; on X11 the pointer is still there when the call comes.
        if (QGuiApplication::platformName() == QLatin1String("xcb"))
            clickedAt_ = QCursor::pos();
        // The context menu opens by itself on a right click; a left click
        // opens it too, as a click on the status item's button does.
        if (reason == QSystemTrayIcon::Trigger) {
            syncMenu();
            menu_.popup(iconPoint().value_or(QCursor::pos()));
        }
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
    agingRefreshes_ = 0;
    if (!aging_)
        aging_ = mainLoop_.repeating(agingSeconds, [this] { age(); });
    QMetaObject::invokeMethod(this, &QtStatusItem::syncMenu, Qt::QueuedConnection);
}

void QtStatusItem::menuClosed() {
    aging_.reset();
}

void QtStatusItem::age() {
    // A host may never say that its menu closed.
    if (!menu_.isVisible() && ++agingRefreshes_ > longestOpenRefreshes)
        aging_.reset();
    else
        syncMenu();
}

void QtStatusItem::syncMenu() {
    const std::vector<platform::MenuItem> items = provider_ ? provider_() : std::vector<platform::MenuItem>{};
    std::string shown = signature(items);
    if (shown == shownSignature_ && !top_.entries.empty())
        return;
    update(top_, items);
    shownSignature_ = std::move(shown);
}

std::unique_ptr<QtStatusItem::Entry> QtStatusItem::makeEntry(Level& level, const std::string& key,
                                                             const platform::MenuItem& item) {
    auto entry = std::make_unique<Entry>();
    entry->key = key;
    if (!item.submenu.empty()) {
        entry->submenu = std::make_unique<Level>();
        entry->submenu->menu = new QMenu(&menu_);
        entry->action = entry->submenu->menu->menuAction();
        return entry;
    }
    entry->action = new QAction(level.menu);
    entry->action->setShortcutVisibleInContextMenu(true);
    QAction* action = entry->action;
    connect(action, &QAction::triggered, this, [this, action] {
        auto it = actions_.find(action);
        if (it == actions_.end() || !it->second || !action->isEnabled() || !action->isVisible())
            return;
        // Run once the trigger has returned: the action may open a modal
        // dialog, and a host waits for its click's answer.
        QMetaObject::invokeMethod(this, it->second, Qt::QueuedConnection);
    });
    return entry;
}

void QtStatusItem::update(Level& level, const std::vector<platform::MenuItem>& items) {
    const std::vector<std::string> itemKeys = keys(items);
    const std::set<std::string> wanted(itemKeys.begin(), itemKeys.end());
    // Entries that go are hidden where they are: a host holding an older
    // layout may still send their ids, and one that comes back keeps its id.
    for (auto& entry : level.entries) {
        if (wanted.count(entry->key))
            continue;
        if (entry->action->isVisible())
            entry->action->setVisible(false);
        actions_[entry->action] = nullptr;
    }

    // Entries that stay keep their place; new ones go in before the entry
    // that follows them, so nothing after them is made anew.
    std::size_t pos = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const platform::MenuItem& item = items[i];
        std::size_t found = 0;
        while (found < level.entries.size() && level.entries[found]->key != itemKeys[i])
            ++found;
        QAction* before = pos < level.entries.size() ? level.entries[pos]->action : nullptr;
        const auto at = [&level](std::size_t index) { return level.entries.begin() + static_cast<std::ptrdiff_t>(index); };
        if (found == level.entries.size()) {
            auto entry = makeEntry(level, itemKeys[i], item);
            level.menu->insertAction(before, entry->action);
            level.entries.insert(at(pos), std::move(entry));
            found = pos;
        } else if (found < pos) {
            // Entries that trade places: the moved one is new to the menu, so
            // a host sees it under a new id. The logic keeps its orders stable.
            std::unique_ptr<Entry> entry = std::move(level.entries[found]);
            level.entries.erase(at(found));
            level.menu->removeAction(entry->action);
            level.menu->insertAction(before, entry->action);
            found = --pos;
            level.entries.insert(at(pos), std::move(entry));
        }
        pos = found + 1;

        Entry& entry = *level.entries[found];
        QAction* action = entry.action;
        if (!entry.submenu && action->isSeparator() != item.separator)
            action->setSeparator(item.separator);
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
    prune(level);
}

void QtStatusItem::prune(Level& level) {
    // Ids that came and went pile up (refusals by list name, failures by
    // message): past a bound, the hidden entries go for good. Visible entries
    // are not touched, so they keep their ids.
    auto hidden = [](const std::unique_ptr<Entry>& entry) { return !entry->action->isVisible(); };
    if (static_cast<std::size_t>(std::count_if(level.entries.begin(), level.entries.end(), hidden)) <= hiddenEntriesKept)
        return;
    std::erase_if(level.entries, [this, &hidden](const std::unique_ptr<Entry>& entry) {
        if (!hidden(entry))
            return false;
        forget(*entry);
        if (entry->submenu)
            delete entry->submenu->menu; // with its actions
        else
            delete entry->action;
        return true;
    });
}

void QtStatusItem::forget(const Entry& entry) {
    actions_.erase(entry.action);
    if (entry.submenu)
        for (const auto& inner : entry.submenu->entries)
            forget(*inner);
}

QtStatusBar::QtStatusBar(platform::MainLoop& mainLoop, QtStatusItem::Callbacks callbacks)
    : mainLoop_(mainLoop), callbacks_(std::move(callbacks)) {
    // Made now, so the tray host has answered by the time the item is made.
    host_ = std::make_shared<QtTrayHost>();
}

std::unique_ptr<platform::StatusItem> QtStatusBar::makeStatusItem() {
    if (!host_)
        host_ = std::make_shared<QtTrayHost>();
    return std::make_unique<QtStatusItem>(mainLoop_, host_, callbacks_);
}

} // namespace tavrelin::qt
