#include "Platform/Vdir/VdirRemindersDatabase.h"

#include "Platform/Posix/PosixFiles.h"

#include <libical/ical.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sys/random.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
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

bool isFolder(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
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

VdirRemindersDatabase::VdirRemindersDatabase(std::string root)
    : root_(std::move(root)), ownFiles_(std::make_unique<posix::PosixFiles>()), files_(*ownFiles_) {}

VdirRemindersDatabase::VdirRemindersDatabase(std::string root, platform::Files& files)
    : root_(std::move(root)), files_(files) {}

VdirRemindersDatabase::~VdirRemindersDatabase() = default;

std::string VdirRemindersDatabase::defaultRoot() {
    auto variable = [](const char* name) -> std::string {
        const char* value = std::getenv(name);
        return value ? value : "";
    };
    if (auto explicitRoot = variable("TAVRELIN_REMINDERS_DIR"); !explicitRoot.empty())
        return explicitRoot;
    if (auto data = variable("XDG_DATA_HOME"); !data.empty())
        return data + "/calendars";
    return variable("HOME") + "/.local/share/calendars";
}

RemindersAuthorization VdirRemindersDatabase::authorizationStatus() const {
    struct stat info {};
    if (::stat(root_.c_str(), &info) != 0)
        return errno == ENOENT || errno == ENOTDIR ? RemindersAuthorization::notDetermined : RemindersAuthorization::denied;
    if (!S_ISDIR(info.st_mode) || ::access(root_.c_str(), W_OK | X_OK) != 0)
        return RemindersAuthorization::denied;
    return RemindersAuthorization::fullAccess;
}

platform::RemindersAccessAnswer VdirRemindersDatabase::requestFullAccess() {
    switch (authorizationStatus()) {
    case RemindersAuthorization::fullAccess:
        return {true, std::nullopt};
    case RemindersAuthorization::notDetermined: {
        std::error_code error;
        std::filesystem::create_directories(root_, error);
        if (error)
            return {false, "could not create the task lists folder " + root_ + ": " + error.message()};
        return {authorizationStatus() == RemindersAuthorization::fullAccess, std::nullopt};
    }
    default:
        return {false, std::nullopt};
    }
}

std::vector<platform::ReminderList> VdirRemindersDatabase::lists() const {
    std::vector<platform::ReminderList> result;
    std::error_code error;
    for (std::filesystem::directory_iterator it(root_, error), end; !error && it != end; it.increment(error)) {
        std::string name = it->path().filename().string();
        if (name.empty() || name.front() == '.' || !isFolder(root_ + "/" + name))
            continue;
        std::string title = files_.readRegularFile(root_ + "/" + name + "/displayname", maxDisplayNameBytes).value_or("");
        while (!title.empty() && (title.back() == '\n' || title.back() == '\r'))
            title.pop_back();
        result.push_back({name, title.empty() ? name : title});
    }
    std::sort(result.begin(), result.end(), [](const auto& a, const auto& b) { return a.identifier < b.identifier; });
    return result;
}

bool VdirRemindersDatabase::isValidIdentifier(std::string_view identifier) {
    if (identifier.empty() || identifier.size() > 200)
        return false;
    return std::all_of(identifier.begin(), identifier.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '+' ||
               c == '-';
    });
}

std::string VdirRemindersDatabase::listFolder(const std::string& listIdentifier) const {
    bool plainName = !listIdentifier.empty() && listIdentifier.front() != '.' &&
                     listIdentifier.find('/') == std::string::npos && listIdentifier.find('\0') == std::string::npos;
    std::string folder = root_ + "/" + listIdentifier;
    if (!plainName || !isFolder(folder))
        throw RemindersError("there is no task list “" + listIdentifier + "” in " + root_);
    return folder;
}

bool VdirRemindersDatabase::identifierTaken(const std::string& uid) const {
    for (const auto& list : lists()) {
        struct stat info {};
        if (::lstat((root_ + "/" + list.identifier + "/" + uid + ".ics").c_str(), &info) == 0 || errno != ENOENT)
            return true;
    }
    return false;
}

std::string VdirRemindersDatabase::newIdentifier() const {
    static constexpr char hex[] = "0123456789abcdef";
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
        if (!identifierTaken(uid))
            return uid;
    }
    throw RemindersError("could not make a reminder identifier that is not in use");
}

std::string VdirRemindersDatabase::save(const platform::NewReminder& reminder) {
    const std::string folder = listFolder(reminder.listIdentifier);
    const std::string uid = newIdentifier();
    auto now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    // Readers skip the ".tmp" file the write goes through, so they see the
    // reminder whole or not at all; it is on disk before this returns.
    try {
        files_.writeAtomically(folder + "/" + uid + ".ics", calendarText(reminder, uid, platform::Date::fromUnix(now)), 0644);
    } catch (const platform::FileError& error) {
        throw RemindersError(error.what());
    }
    return uid;
}

std::optional<platform::SavedReminder> VdirRemindersDatabase::reminder(const std::string& identifier) const {
    if (!isValidIdentifier(identifier))
        return std::nullopt;
    for (const auto& list : lists()) {
        auto text = files_.readRegularFile(root_ + "/" + list.identifier + "/" + identifier + ".ics", maxReminderBytes);
        if (!text)
            continue;
        Component parsed{icalparser_parse_string(text->c_str())};
        icalcomponent* todo = findTodo(parsed.get());
        if (!todo)
            return std::nullopt;

        platform::SavedReminder saved;
        saved.identifier = identifier;
        saved.listTitle = list.title;
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
    return std::nullopt;
}

} // namespace tavrelin::vdir
