#include "Platform/Vdir/VdirRemindersDatabase.h"

#include "Platform/Posix/DeliveryUid.h"
#include "Platform/Posix/UserFolders.h"

#include <libical/ical.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <sys/random.h>
#include <system_error>
#include <utility>

namespace tavrelin::vdir {

using platform::RemindersAuthorization;
using platform::RemindersError;

namespace {

constexpr std::size_t maxReminderBytes = 1 << 20;
constexpr std::size_t maxDisplayNameBytes = 4096;
// Anything larger than this cannot name a day in years 1–9999 however it carries,
// and keeps the calendar arithmetic far from overflow.
constexpr std::int64_t maxComponentMagnitude = 10'000'000;
// libical writes a date after the year 3000 as 00000000T000000, which no
// reader takes for a date: years 1–3000 are what can be filed.
constexpr int latestYear = 3000;
// 0001-01-01T00:00:00Z and 3000-12-31T23:59:59Z.
constexpr double earliestUnix = -62135596800.0;
constexpr double latestUnix = 32535215999.0;

std::string errnoText(int error) {
    return std::generic_category().message(error);
}

struct ComponentFree {
    void operator()(icalcomponent* component) const { icalcomponent_free(component); }
};
using Component = std::unique_ptr<icalcomponent, ComponentFree>;

// A folder name inside the root, never a way out of it.
bool isPlainName(const std::string& name) {
    return !name.empty() && name.front() != '.' && name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

bool fits(const std::optional<std::int64_t>& value) {
    return !value || (*value >= -maxComponentMagnitude && *value <= maxComponentMagnitude);
}

// Out-of-range fields carry over the way a calendar does (month 13 is next
// January); none when the fields cannot name a day iCalendar can write.
std::optional<icaltimetype> dueTime(const platform::DateComponents& due) {
    if (!due.year || !due.month || !due.day)
        return std::nullopt;
    if (!fits(due.year) || !fits(due.month) || !fits(due.day) || !fits(due.hour) || !fits(due.minute))
        return std::nullopt;
    icaltimetype time = due.hour ? icaltime_null_time() : icaltime_null_date();
    time.year = static_cast<int>(*due.year);
    time.month = static_cast<int>(*due.month);
    time.day = static_cast<int>(*due.day);
    if (due.hour) {
        time.hour = static_cast<int>(*due.hour);
        time.minute = static_cast<int>(due.minute.value_or(0));
    }
    time = icaltime_normalize(time);
    if (time.year < 1 || time.year > latestYear)
        return std::nullopt;
    return time;
}

std::optional<icaltimetype> utcTime(platform::Date date) {
    double seconds = std::floor(date.unixSeconds());
    if (!std::isfinite(seconds) || seconds < earliestUnix || seconds > latestUnix)
        return std::nullopt;
    return icaltime_from_timet_with_zone(static_cast<time_t>(seconds), 0, icaltimezone_get_utc_timezone());
}

// iCalendar text may hold no control characters but tab and line feed, and
// libical would write them raw (or drop a carriage return): line breaks become
// line feeds, the other controls go.
std::string icalText(std::string_view text) {
    std::string clean;
    clean.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\r') {
            if (i + 1 < text.size() && text[i + 1] == '\n')
                continue;
            clean += '\n';
        } else if (c >= 0x20 ? c != 0x7f : (c == '\t' || c == '\n')) {
            clean += static_cast<char>(c);
        }
    }
    return clean;
}

std::string calendarText(const platform::NewReminder& reminder, const std::string& uid, platform::Date stamp) {
    const std::string title = icalText(reminder.title);
    Component calendar{icalcomponent_new_vcalendar()};
    icalcomponent_add_property(calendar.get(), icalproperty_new_version("2.0"));
    icalcomponent_add_property(calendar.get(), icalproperty_new_prodid("-//Tavrelin//Tavrelin Agent//EN"));

    icalcomponent* todo = icalcomponent_new_vtodo();
    icalcomponent_add_component(calendar.get(), todo); // owned by the calendar from here
    icalcomponent_add_property(todo, icalproperty_new_uid(uid.c_str()));
    if (auto now = utcTime(stamp))
        icalcomponent_add_property(todo, icalproperty_new_dtstamp(*now));
    icalcomponent_add_property(todo, icalproperty_new_summary(title.c_str()));
    // Readers drop a DESCRIPTION without a value as unreadable, so notes that
    // clean down to nothing are left out rather than written empty.
    if (const std::string notes = reminder.notes ? icalText(*reminder.notes) : ""; !notes.empty())
        icalcomponent_add_property(todo, icalproperty_new_description(notes.c_str()));
    if (reminder.due)
        if (auto due = dueTime(*reminder.due))
            icalcomponent_add_property(todo, icalproperty_new_due(*due));
    if (reminder.alarm)
        if (auto moment = utcTime(*reminder.alarm)) {
            icaltriggertype trigger{};
            trigger.time = *moment;
            trigger.duration = icaldurationtype_null_duration();
            icalcomponent* alarm = icalcomponent_new_valarm();
            icalcomponent_add_property(alarm, icalproperty_new_action(ICAL_ACTION_DISPLAY));
            icalcomponent_add_property(alarm, icalproperty_new_description(title.c_str()));
            icalcomponent_add_property(alarm, icalproperty_new_trigger(trigger));
            icalcomponent_add_component(todo, alarm);
        }

    char* text = icalcomponent_as_ical_string_r(calendar.get());
    if (!text)
        throw RemindersError("could not encode the reminder “" + reminder.title + "”");
    std::string result(text);
    icalmemory_free_buffer(text);
    return result;
}

platform::Date toDate(icaltimetype time) {
    time_t seconds;
    if (icaltime_is_utc(time))
        seconds = icaltime_as_timet_with_zone(time, icaltimezone_get_utc_timezone());
    else if (time.zone)
        seconds = icaltime_as_timet_with_zone(time, time.zone);
    else // floating: the wall clock here
        seconds = icaltime_as_timet(time);
    return platform::Date::fromUnix(static_cast<double>(seconds));
}

icalcomponent* findTodo(icalcomponent* component) {
    if (!component)
        return nullptr;
    if (icalcomponent_isa(component) == ICAL_VTODO_COMPONENT)
        return component;
    return icalcomponent_get_first_component(component, ICAL_VTODO_COMPONENT);
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
        return {true, std::nullopt};
    case RemindersAuthorization::notDetermined:
        try {
            files_.createDirectories(root_);
        } catch (const platform::FileError& error) {
            return {false, "could not create the task lists folder " + root_ + ": " + error.what()};
        }
        return {authorizationStatus() == RemindersAuthorization::fullAccess, std::nullopt};
    default:
        return {false, std::nullopt};
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
    for (const std::string& name : names) {
        const std::string folder = root_ + "/" + name;
        if (!isPlainName(name) || files_.kind(folder) != platform::EntryKind::folder)
            continue;
        std::string title = files_.readRegularFile(folder + "/displayname", maxDisplayNameBytes).value_or("");
        while (!title.empty() && (title.back() == '\n' || title.back() == '\r'))
            title.pop_back();
        look_->lists.push_back({name, title.empty() ? name : title});
    }
    if (!swept_) {
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
                }
            } else if (name.size() > 4 && name.compare(name.size() - 4, 4, ".ics") == 0) {
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
    static constexpr char hex[] = "0123456789abcdef";
    const Look& current = *look_;
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::array<unsigned char, 16> bytes{};
        std::size_t filled = 0;
        while (filled < bytes.size()) {
            ssize_t n = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                throw RemindersError("could not make a reminder identifier: " + errnoText(errno));
            filled += static_cast<std::size_t>(n);
        }
        std::string uid;
        for (unsigned char byte : bytes) {
            uid += hex[byte >> 4];
            uid += hex[byte & 0xf];
        }
        if (!current.reminders.count(uid))
            return uid;
    }
    throw RemindersError("could not make a reminder identifier that is not in use");
}

std::string VdirRemindersDatabase::save(const platform::NewReminder& reminder) {
    Look& current = indexedLook();
    std::optional<std::uint32_t> position = listPosition(reminder.listIdentifier);
    const std::string folder = root_ + "/" + reminder.listIdentifier;
    if (!position) {
        // A list that appeared since the last look is still a list.
        if (!isPlainName(reminder.listIdentifier) || files_.kind(folder) != platform::EntryKind::folder)
            throw RemindersError("there is no task list “" + reminder.listIdentifier + "” in " + root_);
        lists(); // looks again, so its reminders and title are known too
        return save(reminder);
    }

    std::string uid;
    if (!reminder.deliveryKey.empty()) {
        uid = posix::deliveryUid(reminder.deliveryKey);
        // Filed before: the user may have edited, moved or completed it since.
        if (current.reminders.count(uid))
            return uid;
    } else {
        uid = newIdentifier();
    }
    auto now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    // Readers skip the ".tmp" file the write goes through, so they see the
    // reminder whole or not at all. Its content is on disk before this
    // returns, its name once the next look has flushed the folder.
    unsynced_.insert(folder);
    try {
        files_.writeAtomically(folder + "/" + uid + ".ics", calendarText(reminder, uid, platform::Date::fromUnix(now)),
                               std::nullopt, platform::Files::FolderSync::later);
    } catch (const platform::FileError& error) {
        throw RemindersError(error.what());
    }
    current.reminders[uid] = *position;
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
    Component parsed{icalparser_parse_string(text->c_str())};
    icalcomponent* todo = findTodo(parsed.get());
    if (!todo)
        return std::nullopt;

    platform::SavedReminder saved;
    saved.identifier = identifier;
    saved.listTitle = where.title;
    if (const char* summary = icalcomponent_get_summary(todo))
        saved.title = summary;
    if (const char* description = icalcomponent_get_description(todo))
        saved.notes = description;
    if (icalproperty* dueProperty = icalcomponent_get_first_property(todo, ICAL_DUE_PROPERTY)) {
        icaltimetype due = icalproperty_get_due(dueProperty);
        if (!icaltime_is_null_time(due)) {
            platform::DateComponents components{due.year, due.month, due.day, std::nullopt, std::nullopt};
            if (!due.is_date) {
                components.hour = due.hour;
                components.minute = due.minute;
            }
            saved.due = components;
        }
    }
    for (icalcomponent* alarm = icalcomponent_get_first_component(todo, ICAL_VALARM_COMPONENT); alarm && !saved.alarm;
         alarm = icalcomponent_get_next_component(todo, ICAL_VALARM_COMPONENT)) {
        icalproperty* triggerProperty = icalcomponent_get_first_property(alarm, ICAL_TRIGGER_PROPERTY);
        if (!triggerProperty)
            continue;
        icaltriggertype trigger = icalproperty_get_trigger(triggerProperty);
        if (!icaltime_is_null_time(trigger.time))
            saved.alarm = toDate(trigger.time);
    }
    return saved;
}

} // namespace tavrelin::vdir
