#include "Platform/Vdir/VdirRemindersDatabase.h"
#include "Platform/Posix/Random.h"

#include "Base/Text.h"
#include "Platform/Ical/Todo.h"
#include "Platform/Posix/DeliveryUid.h"
#include "Platform/Posix/UserFolders.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <sys/random.h>
#include <system_error>
#include <utility>

namespace tavrelin::vdir {

using platform::RemindersAuthorization;
using platform::RemindersError;

namespace {

constexpr std::size_t maxReminderBytes = 1 << 20;
constexpr std::size_t maxDisplayNameBytes = 4096;

// A folder name inside the root, never a way out of it.
bool isPlainName(const std::string& name) {
    return !name.empty() && name.front() != '.' && name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

enum class Holding { task, event, neither };

// What an iCalendar text holds, by its BEGIN lines (names are
// case-insensitive); a task wins over events beside it.
Holding holding(std::string_view text) {
    auto is = [](std::string_view line, std::string_view name) { return text::equalsIgnoringAsciiCase(line, name); };
    Holding found = Holding::neither;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = std::min(text.find('\n', start), text.size());
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (is(line, "BEGIN:VTODO"))
            return Holding::task;
        if (is(line, "BEGIN:VEVENT"))
            found = Holding::event;
        start = end + 1;
    }
    return found;
}

// A list folder's name for a title: its letters and digits (ASCII ones in
// lower case, others as they are), each run of anything else one "-". Never
// empty, hidden or more than one path step, and never cut inside a character.
std::string folderNameFor(std::string_view title) {
    constexpr std::size_t longest = 60;
    std::string name;
    for (std::size_t at = 0; at < title.size();) {
        const auto c = static_cast<unsigned char>(title[at]);
        if (c >= 0x80) {
            // A character beyond ASCII: its bytes are all 0x80 or more, so
            // none of them is a "/", a "." or a NUL.
            std::size_t length = 1;
            while (length < 4 && at + length < title.size() && (static_cast<unsigned char>(title[at + length]) & 0xC0) == 0x80)
                ++length;
            if (name.size() + length > longest)
                break;
            name += title.substr(at, length);
            at += length;
            continue;
        }
        ++at;
        const bool letter = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z');
        if (!letter && (name.empty() || name.back() == '-'))
            continue;
        if (name.size() >= longest)
            break;
        name += letter ? text::lowercasedAscii(c) : '-';
    }
    while (!name.empty() && name.back() == '-')
        name.pop_back();
    return name.empty() ? "list" : name;
}

std::string randomHex(std::size_t bytes) {
    try {
        return posix::randomHex(bytes);
    } catch (const std::system_error& error) {
        throw RemindersError(std::string("could not make a random name: ") + error.what());
    }
}

bool isItem(const std::string& name) {
    return name.size() > 4 && name.compare(name.size() - 4, 4, ".ics") == 0;
}

} // namespace

VdirRemindersDatabase::VdirRemindersDatabase(std::string root, platform::Files& files)
    : root_(std::move(root)), files_(files) {}

std::string VdirRemindersDatabase::defaultRoot() {
    const char* explicitRoot = std::getenv("TAVRELIN_REMINDERS_DIR");
    if (explicitRoot && explicitRoot[0] == '/')
        return explicitRoot;
    return posix::userFolder(posix::UserFolder::data) + "/calendars";
}

RemindersAuthorization VdirRemindersDatabase::authorizationStatus() const {
    switch (files_.kind(root_)) {
    case platform::EntryKind::missing:
        return RemindersAuthorization::notDetermined;
    case platform::EntryKind::folder:
        return files_.isWritableFolder(root_) ? RemindersAuthorization::fullAccess : RemindersAuthorization::denied;
    default:
        return RemindersAuthorization::denied;
    }
}

platform::RemindersAccessAnswer VdirRemindersDatabase::requestFullAccess() {
    switch (authorizationStatus()) {
    case RemindersAuthorization::fullAccess:
        return platform::RemindersAccessAnswer::granted;
    case RemindersAuthorization::notDetermined:
        try {
            files_.createDirectories(root_);
        } catch (const platform::FileError& error) {
            throw platform::RemindersError("could not create the task lists folder " + root_ + ": " + error.what());
        }
        return authorizationStatus() == RemindersAuthorization::fullAccess ? platform::RemindersAccessAnswer::granted
                                                                           : platform::RemindersAccessAnswer::denied;
    default:
        return platform::RemindersAccessAnswer::denied;
    }
}

void VdirRemindersDatabase::syncSavedFolders() const {
    for (auto folder = unsynced_.begin(); folder != unsynced_.end();) {
        try {
            files_.syncFolder(*folder);
        } catch (const platform::FileError& error) {
            // A list removed since holds nothing to make durable.
            if (files_.kind(*folder) != platform::EntryKind::missing)
                throw RemindersError(error.what());
        }
        folder = unsynced_.erase(folder);
    }
}

std::vector<platform::ReminderList> VdirRemindersDatabase::lists() const {
    // One flush per folder for all the saves since the last look, before
    // anyone sees the lists: the acknowledgement that reports them then
    // covers only reminders whose names are on disk too.
    syncSavedFolders();
    look_.emplace();
    std::vector<std::string> names;
    try {
        names = files_.list(root_); // sorted
    } catch (const platform::FileError&) {
        return {}; // no root yet, or not readable: no lists
    }
    std::map<std::string, Holdings> seen;
    for (const std::string& name : names) {
        const std::string folder = root_ + "/" + name;
        if (!isPlainName(name) || files_.kind(folder) != platform::EntryKind::folder)
            continue;
        Holdings& holdings = seen[name];
        if (auto known = holdings_.find(name); known != holdings_.end())
            holdings = std::move(known->second);
        if (!holdsTasks(folder, holdings))
            continue;
        std::string title = files_.readRegularFile(folder + "/displayname", maxDisplayNameBytes).value_or("");
        while (!title.empty() && (title.back() == '\n' || title.back() == '\r'))
            title.pop_back();
        look_->lists.push_back({name, title.empty() ? name : title});
    }
    holdings_ = std::move(seen); // forgets folders that went away
    if (!swept_) {
        // A list a crash interrupted while it was put together.
        for (const std::string& name : names)
            if (platform::isOwnTemporaryFile(name) && files_.kind(root_ + "/" + name) == platform::EntryKind::folder) {
                try {
                    files_.remove(root_ + "/" + name);
                } catch (const platform::FileError&) {
                    // Hidden, so no reader takes it for a list; the next start tries again.
                }
            }
        indexedLook(true); // lists every folder, which is when the leftovers go
        // A crash may have left earlier renames unflushed: what is found now is
        // durable before a save answers it as filed.
        for (const auto& list : look_->lists)
            unsynced_.insert(root_ + "/" + list.identifier);
        syncSavedFolders();
        swept_ = true;
    }
    return look_->lists;
}

bool VdirRemindersDatabase::holdsTasks(const std::string& folder, Holdings& holdings) const {
    // A list keeps its place for as long as the task it was known by is there.
    if (!holdings.task.empty() && files_.kind(folder + "/" + holdings.task) == platform::EntryKind::file)
        return true;
    std::vector<std::string> names;
    try {
        names = files_.list(folder);
    } catch (const platform::FileError&) {
        return true; // cannot tell: taken as a list, whose writes then fail and say why
    }
    std::erase_if(names, [](const std::string& name) { return !isItem(name); });
    auto present = [&](const std::string& item) { return std::binary_search(names.begin(), names.end(), item); };
    holdings.task.clear();
    std::erase_if(holdings.events, [&](const std::string& item) { return !present(item); });
    std::erase_if(holdings.neither, [&](const std::string& item) { return !present(item); });
    for (const std::string& item : names) {
        if (holdings.events.count(item) || holdings.neither.count(item))
            continue;
        auto text = files_.readRegularFile(folder + "/" + item, maxReminderBytes);
        switch (text ? holding(*text) : Holding::neither) {
        case Holding::task:
            holdings.task = item;
            return true;
        case Holding::event:
            holdings.events.insert(item);
            break;
        case Holding::neither:
            holdings.neither.insert(item);
            break;
        }
    }
    return holdings.events.empty();
}

const VdirRemindersDatabase::Look& VdirRemindersDatabase::look() const {
    if (!look_)
        lists();
    return *look_;
}

VdirRemindersDatabase::Look& VdirRemindersDatabase::indexedLook(bool sweep) const {
    look();
    Look& current = *look_;
    if (current.indexed)
        return current;
    current.indexed = true;
    for (std::uint32_t position = 0; position < current.lists.size(); ++position) {
        const std::string folder = root_ + "/" + current.lists[position].identifier;
        std::vector<std::string> names;
        try {
            names = files_.list(folder);
        } catch (const platform::FileError&) {
            continue; // unreadable: a write there fails and says so
        }
        for (const std::string& name : names) {
            if (sweep && platform::isOwnTemporaryFile(name)) {
                // A write a crash interrupted; the reminder itself was never acknowledged.
                try {
                    files_.remove(folder + "/" + name);
                } catch (const platform::FileError&) {
                    // Harmless where it is (readers skip it); the next start tries again.
                }
            } else if (isItem(name)) {
                current.reminders.emplace(name.substr(0, name.size() - 4), position);
            }
        }
    }
    return current;
}

std::optional<std::uint32_t> VdirRemindersDatabase::listPosition(const std::string& listIdentifier) const {
    Look& current = *look_;
    for (std::uint32_t position = 0; position < current.lists.size(); ++position)
        if (current.lists[position].identifier == listIdentifier)
            return position;
    return std::nullopt;
}

bool VdirRemindersDatabase::isValidIdentifier(std::string_view identifier) {
    if (identifier.empty() || identifier.size() > 200)
        return false;
    return std::all_of(identifier.begin(), identifier.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '+' ||
               c == '-';
    });
}

std::string VdirRemindersDatabase::newIdentifier() const {
    const Look& current = *look_;
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string uid = randomHex(16);
        if (!current.reminders.count(uid))
            return uid;
    }
    throw RemindersError("could not make a reminder identifier that is not in use");
}

std::string VdirRemindersDatabase::save(const platform::NewReminder& reminder) {
    indexedLook();
    std::optional<std::uint32_t> position = listPosition(reminder.listIdentifier);
    const std::string folder = root_ + "/" + reminder.listIdentifier;
    // A list that appeared since the last look is still a list; a folder of
    // events is not. Looking again also learns its reminders and title.
    if (!position && isPlainName(reminder.listIdentifier) && files_.kind(folder) == platform::EntryKind::folder) {
        lists();
        indexedLook();
        position = listPosition(reminder.listIdentifier);
    }
    if (!position)
        throw RemindersError("there is no task list “" + reminder.listIdentifier + "” in " + root_);
    Look& current = *look_;

    std::string uid;
    if (!reminder.deliveryKey.empty()) {
        uid = posix::deliveryUid(reminder.deliveryKey);
        // Filed before: the user may have edited, moved or completed it since.
        if (current.reminders.count(uid))
            return uid;
        if (auto earlier = filedEarlier(reminder, *position))
            return *earlier;
    } else {
        uid = newIdentifier();
    }
    auto now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    // Readers skip the ".tmp" file the write goes through, so they see the
    // reminder whole or not at all. Its content is on disk before this
    // returns, its name once the next look has flushed the folder.
    unsynced_.insert(folder);
    try {
        files_.writeAtomically(folder + "/" + uid + ".ics", ical::calendarText(reminder, uid, platform::Date::fromUnix(now)),
                               std::nullopt, platform::Files::FolderSync::later);
    } catch (const platform::FileError& error) {
        throw RemindersError(error.what());
    }
    current.reminders[uid] = *position;
    Holdings& holdings = holdings_[reminder.listIdentifier];
    if (holdings.task.empty())
        holdings.task = uid + ".ics";
    return uid;
}

std::optional<std::string> VdirRemindersDatabase::filedEarlier(const platform::NewReminder& reminder,
                                                               std::uint32_t list) const {
    if (reminder.earlierDeliveryKey.empty())
        return std::nullopt;
    const std::string uid = posix::deliveryUid(reminder.earlierDeliveryKey);
    // Only this list can hold the same filing; the index spares a read per save.
    auto known = look_->reminders.find(uid);
    if (known == look_->reminders.end() || known->second != list)
        return std::nullopt;
    auto found = readReminder(uid, list);
    if (!found || !ical::isSameFiling(*found, reminder.listIdentifier, reminder))
        return std::nullopt;
    return uid;
}

std::optional<platform::SavedReminder> VdirRemindersDatabase::reminder(const std::string& identifier) const {
    if (!isValidIdentifier(identifier))
        return std::nullopt;
    Look& current = indexedLook();
    auto known = current.reminders.find(identifier);
    if (known != current.reminders.end())
        if (auto found = readReminder(identifier, known->second))
            return found;
    // Not where the last look saw it: moved or made since.
    for (std::uint32_t position = 0; position < current.lists.size(); ++position)
        if (known == current.reminders.end() || position != known->second)
            if (auto found = readReminder(identifier, position))
                return found;
    return std::nullopt;
}

std::optional<platform::SavedReminder> VdirRemindersDatabase::readReminder(const std::string& identifier,
                                                                           std::uint32_t list) const {
    const platform::ReminderList& where = look_->lists[list];
    auto text = files_.readRegularFile(root_ + "/" + where.identifier + "/" + identifier + ".ics", maxReminderBytes);
    if (!text)
        return std::nullopt;
    ical::Component parsed{icalparser_parse_string(text->c_str())};
    icalcomponent* todo = ical::findTodo(parsed.get());
    if (!todo)
        return std::nullopt;
    return ical::readTodo(todo, identifier, where.title);
}

platform::ReminderList VdirRemindersDatabase::createList(const std::string& title) {
    if (title.empty() || title.size() > maxDisplayNameBytes ||
        std::any_of(title.begin(), title.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }))
        throw RemindersError("a task list cannot be called “" + title + "”");
    for (const auto& list : lists())
        if (text::canonicallyEqual(list.title, title))
            return list;

    // Put together under a name readers skip, then moved into place whole.
    const std::string building = root_ + "/.tavrelin-" + randomHex(8) + ".tmp";
    try {
        files_.createDirectories(root_);
        files_.createDirectories(building);
        files_.writeAtomically(building + "/displayname", title);
        const std::string base = folderNameFor(title);
        for (int number = 1; number <= 100; ++number) {
            const std::string name = number == 1 ? base : base + "-" + std::to_string(number);
            if (files_.renameFolderIfAbsent(building, root_ + "/" + name)) {
                files_.syncFolder(root_);
                look_.reset();
                return {name, title};
            }
        }
        throw platform::FileError("every folder name for it in " + root_ + " is taken");
    } catch (const platform::FileError& error) {
        if (files_.exists(building)) {
            try {
                files_.remove(building);
            } catch (const platform::FileError&) {
                // Hidden, and removed at the next start.
            }
        }
        throw RemindersError("could not create the task list “" + title + "”: " + error.what());
    }
}

} // namespace tavrelin::vdir
