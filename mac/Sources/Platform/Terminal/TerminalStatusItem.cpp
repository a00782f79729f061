#include "Platform/Terminal/TerminalStatusItem.h"

#include "Base/Text.h"

#include <cctype>
#include <utility>

namespace tavrelin::terminal {

namespace {

bool actionable(const platform::MenuItem& item) {
    return !item.separator && item.enabled && item.action;
}

const platform::MenuItem* findByTitle(const std::vector<platform::MenuItem>& items, std::string_view title) {
    for (const auto& item : items) {
        if (actionable(item) && item.title == title)
            return &item;
        if (const auto* found = findByTitle(item.submenu, title))
            return found;
    }
    return nullptr;
}

} // namespace

TerminalStatusItem::TerminalStatusItem(Output out) : out_(std::move(out)) {}

TerminalStatusItem::~TerminalStatusItem() {
    if (onDestroy)
        onDestroy();
}

void TerminalStatusItem::setToolTip(const std::string& toolTip) {
    if (toolTip_ == toolTip)
        return;
    toolTip_ = toolTip;
    out_("[status] " + toolTip + '\n');
}

void TerminalStatusItem::setMenuProvider(std::function<std::vector<platform::MenuItem>()> provider) {
    provider_ = std::move(provider);
}

void TerminalStatusItem::showMenu() {
    const auto items = provider_ ? provider_() : std::vector<platform::MenuItem>{};
    numbered_.clear();
    std::string text = "[menu]\n";
    std::function<void(const std::vector<platform::MenuItem>&, int)> print = [&](const auto& list, int depth) {
        for (const auto& item : list) {
            const int level = depth + std::max(item.indentation, 0);
            text.append(static_cast<std::size_t>(4 * level), ' ');
            if (item.separator) {
                text += "---\n";
                continue;
            }
            if (actionable(item)) {
                numbered_.push_back(item.action);
                text += std::to_string(numbered_.size()) + ". ";
            }
            if (item.checked)
                text += *item.checked ? "[x] " : "[ ] ";
            text += item.title;
            if (!item.keyEquivalent.empty()) {
                // As this platform writes a shortcut: the Control key, the letter in capitals.
                std::string key = item.keyEquivalent;
                for (auto& c : key)
                    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                text += "  (Ctrl+" + key + ")";
            }
            text += '\n';
            print(item.submenu, level + 1);
        }
    };
    print(items, 0);
    text += "[end]\n";
    out_(text);
}

bool TerminalStatusItem::activate(std::string_view line) {
    const std::string_view wanted = text::trimmed(line);
    if (wanted.empty())
        return false;
    const bool digits = wanted.size() <= 9 && wanted.find_first_not_of("0123456789") == std::string_view::npos;
    if (digits) {
        const std::size_t number = std::stoul(std::string(wanted));
        if (number >= 1 && number <= numbered_.size()) {
            // A copy: the action may show the menu again, replacing numbered_.
            auto action = numbered_[number - 1];
            action();
            return true;
        }
    }
    const auto items = provider_ ? provider_() : std::vector<platform::MenuItem>{};
    if (const auto* item = findByTitle(items, wanted)) {
        auto action = item->action;
        action();
        return true;
    }
    return false;
}

TerminalStatusBar::TerminalStatusBar(TerminalStatusItem::Output out) : out_(std::move(out)) {}

TerminalStatusBar::~TerminalStatusBar() {
    *current_ = nullptr;
}

std::unique_ptr<platform::StatusItem> TerminalStatusBar::makeStatusItem() {
    auto item = std::make_unique<TerminalStatusItem>(out_);
    TerminalStatusItem* raw = item.get();
    *current_ = raw;
    std::weak_ptr<TerminalStatusItem*> current = current_;
    item->onDestroy = [current, raw] {
        if (auto slot = current.lock(); slot && *slot == raw)
            *slot = nullptr;
    };
    if (onItem)
        onItem();
    return item;
}

bool TerminalStatusBar::showMenu() {
    if (!*current_)
        return false;
    (*current_)->showMenu();
    return true;
}

bool TerminalStatusBar::activate(std::string_view line) {
    return *current_ && (*current_)->activate(line);
}

} // namespace tavrelin::terminal
