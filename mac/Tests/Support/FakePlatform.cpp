#include "Support/FakePlatform.h"

#include "TavrelinMac/Logging.h"

#include <algorithm>
#include <mutex>
#include <stdexcept>

namespace tavrelin::fake {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t daysFromCivil(std::int64_t y, std::int64_t m, std::int64_t d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

} // namespace

std::optional<Date> FakeClock::localDate(const DateComponents& c) const {
    if (!c.year || !c.month || !c.day)
        return std::nullopt;
    constexpr std::int64_t limit = 1'000'000;
    for (auto v : {c.year, c.month, c.day, c.hour, c.minute})
        if (v && (*v > limit || *v < -limit))
            return std::nullopt;
    std::int64_t month0 = *c.month - 1;
    std::int64_t year = *c.year + floorDiv(month0, 12);
    std::int64_t month = month0 - floorDiv(month0, 12) * 12 + 1;
    std::int64_t days = daysFromCivil(year, month, 1) + (*c.day - 1);
    double seconds = static_cast<double>(days) * 86400.0 + static_cast<double>(c.hour.value_or(0)) * 3600.0 +
                     static_cast<double>(c.minute.value_or(0)) * 60.0 - utcOffset;
    return Date::fromUnix(seconds);
}

// ---- main loop

std::unique_ptr<Timer> FakeMainLoop::repeating(TimeInterval period, std::function<void()> block) {
    struct Handle final : Timer {
        std::shared_ptr<bool> alive;
        ~Handle() override { *alive = false; }
    };
    auto handle = std::make_unique<Handle>();
    handle->alive = std::make_shared<bool>(true);
    scheduled_.push_back({clock_.current + period, period, std::move(block), handle->alive, nextOrder_++});
    return handle;
}

void FakeMainLoop::after(TimeInterval delay, std::function<void()> block) {
    scheduled_.push_back({clock_.current + delay, 0, std::move(block), std::make_shared<bool>(true), nextOrder_++});
}

void FakeMainLoop::background(Priority priority, std::function<void()> block) {
    backgroundPriorities.push_back(priority);
    background_.push_back(std::move(block));
}

void FakeMainLoop::runPosted() {
    while (!posted_.empty()) {
        auto block = std::move(posted_.front());
        posted_.pop_front();
        block();
    }
}

bool FakeMainLoop::runOneBackground() {
    if (background_.empty())
        return false;
    auto block = std::move(background_.front());
    background_.pop_front();
    inBackground_ = true;
    block();
    inBackground_ = false;
    return true;
}

void FakeMainLoop::drain() {
    do
        runPosted();
    while (runOneBackground());
}

void FakeMainLoop::settle() {
    if (autoRunBackground)
        drain();
    else
        runPosted();
}

std::size_t FakeMainLoop::activeTimers() const {
    return static_cast<std::size_t>(
        std::count_if(scheduled_.begin(), scheduled_.end(), [](const Scheduled& s) { return *s.alive && s.period > 0; }));
}

void FakeMainLoop::advance(TimeInterval seconds) {
    const Date target = clock_.current + seconds;
    settle();
    while (true) {
        std::erase_if(scheduled_, [](const Scheduled& s) { return !*s.alive; });
        auto next = std::min_element(scheduled_.begin(), scheduled_.end(), [](const Scheduled& a, const Scheduled& b) {
            return a.due < b.due || (a.due == b.due && a.order < b.order);
        });
        if (next == scheduled_.end() || next->due > target)
            break;
        clock_.current = std::max(clock_.current, next->due);
        std::function<void()> block = next->block;
        std::shared_ptr<bool> alive = next->alive;
        if (next->period > 0) {
            next->due = next->due + next->period;
            next->order = nextOrder_++;
        } else {
            *next->alive = false;
        }
        if (*alive || next->period == 0)
            block();
        settle();
    }
    clock_.current = target;
    settle();
}

// ---- application, dialogs, status item

int FakeApplication::run(ApplicationDelegate& delegate) {
    delegate.applicationWillFinishLaunching();
    delegate.applicationDidFinishLaunching();
    return 0;
}

int FakeDialogs::runModal(const Alert& alert) {
    shown.push_back(alert);
    if (whileOpen)
        whileOpen(alert);
    int buttons = static_cast<int>(alert.buttons.size());
    int index = buttons > 0 ? buttons - 1 : 0;
    if (!script.empty()) {
        index = script.front();
        script.pop_front();
    }
    return firstButton + index;
}

void FakeStatusItem::setImage(const Drawing& drawing) {
    image = drawing;
    ++imageSets;
}

namespace {
bool chooseIn(const std::vector<MenuItem>& items, const std::string& title) {
    for (const auto& item : items) {
        if (!item.separator && item.enabled && item.title == title && item.action) {
            item.action();
            return true;
        }
        if (chooseIn(item.submenu, title))
            return true;
    }
    return false;
}
} // namespace

bool FakeStatusItem::choose(const std::string& title) {
    return chooseIn(openMenu(), title);
}

std::unique_ptr<StatusItem> FakeStatusBar::makeStatusItem() {
    auto item = std::make_unique<FakeStatusItem>();
    item->button = itemsHaveButton;
    last = item.get();
    return item;
}

// ---- files

void FakeFiles::check(const std::string& path) const {
    if (failing.count(path))
        throw FileError("The operation couldn’t be completed for “" + path + "”.");
}

void FakeFiles::record(const std::string& operation) {
    if (beforeOperation && !nested_)
        beforeOperation(operation);
    operations.push_back(operation);
}

void FakeFiles::createDirectories(const std::string& path) {
    check(path);
    record("mkdir " + path);
    directories.insert(path);
}

void FakeFiles::writeAtomically(const std::string& path, std::string_view bytes, std::optional<unsigned> mode,
                                FolderSync sync) {
    check(path);
    record(sync == FolderSync::now ? "write " + path : "write " + path + " (folder later)");
    files[path] = std::string(bytes);
    modes[path] = mode.value_or(0644);
}

void FakeFiles::syncFolder(const std::string& path) {
    check(path);
    record("sync " + path);
}

void FakeFiles::setPermissions(const std::string& path, unsigned mode) {
    check(path);
    if (!exists(path))
        throw FileError("No such file: " + path);
    modes[path] = mode;
}

unsigned FakeFiles::permissions(const std::string& path) const {
    auto it = modes.find(path);
    return it == modes.end() ? 0 : it->second;
}

std::optional<std::string> FakeFiles::readRegularFile(const std::string& path, std::size_t maxBytes) const {
    auto it = files.find(path);
    if (it == files.end() || it->second.size() > maxBytes)
        return std::nullopt;
    return it->second;
}

bool FakeFiles::exists(const std::string& path) const {
    if (files.count(path) || directories.count(path))
        return true;
    const std::string prefix = path + "/";
    auto under = [&](const auto& key) { return key.compare(0, prefix.size(), prefix) == 0; };
    return std::any_of(files.begin(), files.end(), [&](const auto& f) { return under(f.first); }) ||
           std::any_of(directories.begin(), directories.end(), under);
}

EntryKind FakeFiles::kind(const std::string& path) const {
    if (files.count(path))
        return EntryKind::file;
    return exists(path) ? EntryKind::folder : EntryKind::missing;
}

void FakeFiles::remove(const std::string& path) {
    check(path);
    record("remove " + path);
    if (!exists(path))
        throw FileError("No such file or folder: " + path);
    const std::string prefix = path + "/";
    std::erase_if(files, [&](const auto& f) { return f.first == path || f.first.compare(0, prefix.size(), prefix) == 0; });
    std::erase_if(directories, [&](const auto& d) { return d == path || d.compare(0, prefix.size(), prefix) == 0; });
}

void FakeFiles::copy(const std::string& from, const std::string& to) {
    check(from);
    check(to);
    record("copy " + from + " -> " + to);
    if (!exists(from))
        throw FileError("No such file or folder: " + from);
    if (exists(to))
        throw FileError("Already exists: " + to);
    const std::string prefix = from + "/";
    std::map<std::string, std::string> added;
    for (const auto& [name, content] : files) {
        if (name == from)
            added[to] = content;
        else if (name.compare(0, prefix.size(), prefix) == 0)
            added[to + name.substr(from.size())] = content;
    }
    files.insert(added.begin(), added.end());
    std::set<std::string> dirs;
    for (const auto& d : directories)
        if (d == from || d.compare(0, prefix.size(), prefix) == 0)
            dirs.insert(to + d.substr(from.size()));
    directories.insert(dirs.begin(), dirs.end());
}

void FakeFiles::rename(const std::string& from, const std::string& to) {
    check(from);
    check(to);
    record("rename " + from + " -> " + to);
    if (!exists(from))
        throw FileError("No such file or folder: " + from);
    // Done as copy and remove, which are not operations of their own here.
    nested_ = true;
    const auto before = operations.size();
    if (exists(to))
        remove(to);
    copy(from, to);
    remove(from);
    operations.resize(before);
    nested_ = false;
}

std::vector<std::string> FakeFiles::list(const std::string& directory) const {
    check(directory);
    std::set<std::string> names;
    const std::string prefix = directory + "/";
    auto add = [&](const std::string& key) {
        if (key.compare(0, prefix.size(), prefix) == 0) {
            std::string rest = key.substr(prefix.size());
            names.insert(rest.substr(0, rest.find('/')));
        }
    };
    for (const auto& f : files)
        add(f.first);
    for (const auto& d : directories)
        add(d);
    return {names.begin(), names.end()};
}

// ---- http, bundle

std::unique_ptr<HttpSession> FakeHttp::makeSession(const HttpSessionConfig& config) {
    sessions.push_back(config);
    return std::make_unique<Session>(*this, config);
}

HttpResponse FakeHttp::Session::perform(const HttpRequest& request) {
    owner.requests.push_back(request);
    if (owner.responder)
        return owner.responder(request);
    return {200, R"({"items":[]})", false};
}

std::optional<std::string> FakeBundle::infoString(const std::string& key) const {
    auto it = info.find(key);
    if (it == info.end())
        return std::nullopt;
    return it->second;
}

// ---- reminders

RemindersAccessAnswer FakeRemindersDatabase::requestFullAccess() {
    ++prompts;
    return answer;
}

std::string FakeRemindersDatabase::addList(const std::string& title) {
    std::string id = "list-" + std::to_string(lists_.size() + 1);
    lists_.push_back({id, title});
    return id;
}

std::string FakeRemindersDatabase::save(const NewReminder& r) {
    auto failing = failingTitles.find(r.title);
    if (failing != failingTitles.end())
        throw RemindersError(failing->second);
    auto list =
        std::find_if(lists_.begin(), lists_.end(), [&](const ReminderList& l) { return l.identifier == r.listIdentifier; });
    if (list == lists_.end())
        throw RemindersError("no such list");
    if (auto filed = byDeliveryKey_.find(r.deliveryKey); !r.deliveryKey.empty() && filed != byDeliveryKey_.end())
        return filed->second;
    SavedReminder s{"reminder-" + std::to_string(nextId_++), list->title, r.title, r.notes, r.due, r.alarm};
    saved.push_back(s);
    if (!r.deliveryKey.empty())
        byDeliveryKey_[r.deliveryKey] = s.identifier;
    return s.identifier;
}

std::optional<SavedReminder> FakeRemindersDatabase::reminder(const std::string& identifier) const {
    for (const auto& s : saved)
        if (s.identifier == identifier && !unreadableTitles.count(s.title))
            return s;
    return std::nullopt;
}

// ---- log capture

struct LogCapture::Shared {
    std::mutex lock;
    std::vector<std::string> lines;
};

LogCapture::LogCapture() : shared_(std::make_shared<Shared>()) {
    std::weak_ptr<Shared> weak = shared_;
    Log::setTap([weak](const std::string& line) {
        if (auto s = weak.lock()) {
            std::lock_guard guard(s->lock);
            // Drop the "HH:mm:ss " stamp.
            s->lines.push_back(line.size() > 9 ? line.substr(9) : line);
        }
    });
}

LogCapture::~LogCapture() {
    Log::setTap(nullptr);
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard guard(shared_->lock);
    return shared_->lines;
}

} // namespace tavrelin::fake
