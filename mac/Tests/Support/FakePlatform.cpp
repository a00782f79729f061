#include "Support/FakePlatform.h"

#include <algorithm>
#include <ctime>

namespace tavrelin::fake {

std::optional<Date> FakeClock::localDate(const DateComponents& c) const {
    if (!c.year || !c.month || !c.day)
        return std::nullopt;
    // timegm is the proleptic Gregorian calendar in UTC and normalises
    // out-of-range fields, as the system calendar does.
    std::tm t{};
    t.tm_year = static_cast<int>(*c.year - 1900);
    t.tm_mon = static_cast<int>(*c.month - 1);
    t.tm_mday = static_cast<int>(*c.day);
    t.tm_hour = static_cast<int>(c.hour.value_or(0));
    t.tm_min = static_cast<int>(c.minute.value_or(0));
    return Date::fromUnix(static_cast<double>(timegm(&t)) - utcOffset);
}

// ---- main loop

void FakeMainLoop::advance(TimeInterval seconds) {
    const Date target = clock_.current + seconds;
    settle();
    while (!scheduled_.empty() && scheduled_.begin()->first <= target) {
        auto [due, next] = *scheduled_.begin();
        scheduled_.erase(scheduled_.begin());
        if (!*next.alive)
            continue; // its timer is gone
        clock_.current = std::max(clock_.current, due);
        if (next.period > 0)
            scheduled_.emplace(due + next.period, next);
        next.block();
        settle();
    }
    clock_.current = target;
    settle();
}

// ---- files

namespace {
bool within(const std::string& key, const std::string& path) {
    return key == path || key.starts_with(path + "/");
}
} // namespace

bool FakeFiles::exists(const std::string& path) const {
    auto under = [&](const std::string& key) { return within(key, path); };
    return std::any_of(files.begin(), files.end(), [&](const auto& f) { return under(f.first); }) ||
           std::any_of(directories.begin(), directories.end(), under);
}

void FakeFiles::remove(const std::string& path) {
    touch(path, "remove " + path);
    if (!exists(path))
        throw FileError("No such file or folder: " + path);
    erase(path);
}

void FakeFiles::erase(const std::string& path) {
    std::erase_if(files, [&](const auto& f) { return within(f.first, path); });
    std::erase_if(directories, [&](const auto& d) { return within(d, path); });
}

void FakeFiles::transfer(const std::string& from, const std::string& to, bool move) {
    check(from);
    touch(to, (move ? "rename " : "copy ") + from + " -> " + to);
    if (!exists(from))
        throw FileError("No such file or folder: " + from);
    if (!move && exists(to))
        throw FileError("Already exists: " + to);
    const auto oldFiles = files;
    const auto oldDirectories = directories;
    erase(to);
    if (move)
        erase(from);
    for (const auto& [name, content] : oldFiles)
        if (within(name, from))
            files[to + name.substr(from.size())] = content;
    for (const auto& d : oldDirectories)
        if (within(d, from))
            directories.insert(to + d.substr(from.size()));
}

std::vector<std::string> FakeFiles::list(const std::string& directory) const {
    check(directory);
    std::set<std::string> names;
    auto add = [&](const std::string& key) {
        if (key.starts_with(directory + "/")) {
            std::string rest = key.substr(directory.size() + 1);
            names.insert(rest.substr(0, rest.find('/')));
        }
    };
    for (const auto& f : files)
        add(f.first);
    for (const auto& d : directories)
        add(d);
    return {names.begin(), names.end()};
}

// ---- reminders

std::string FakeRemindersDatabase::save(const NewReminder& r) {
    if (auto failing = failingTitles.find(r.title); failing != failingTitles.end())
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

} // namespace tavrelin::fake
