#include "Platform/Ical/Todo.h"

#include <cmath>
#include <cstdint>
#include <ctime>
#include <tuple>

namespace tavrelin::ical {

namespace {

// Anything larger than this cannot name a day in years 1–9999 however it carries,
// and keeps the calendar arithmetic far from overflow.
constexpr std::int64_t maxComponentMagnitude = 10'000'000;
// libical writes a date after the year 3000 as 00000000T000000, which no
// reader takes for a date: years 1–3000 are what can be filed.
constexpr int latestYear = 3000;
// 0001-01-01T00:00:00Z and 3000-12-31T23:59:59Z.
constexpr double earliestUnix = -62135596800.0;
constexpr double latestUnix = 32535215999.0;

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

} // namespace

Component newTodo(const platform::NewReminder& reminder, const std::string& uid, platform::Date stamp) {
    const std::string title = icalText(reminder.title);
    Component todo{icalcomponent_new_vtodo()};
    icalcomponent_add_property(todo.get(), icalproperty_new_uid(uid.c_str()));
    if (auto now = utcTime(stamp))
        icalcomponent_add_property(todo.get(), icalproperty_new_dtstamp(*now));
    icalcomponent_add_property(todo.get(), icalproperty_new_summary(title.c_str()));
    // Readers drop a DESCRIPTION without a value as unreadable, so notes that
    // clean down to nothing are left out rather than written empty.
    if (const std::string notes = reminder.notes ? icalText(*reminder.notes) : ""; !notes.empty())
        icalcomponent_add_property(todo.get(), icalproperty_new_description(notes.c_str()));
    if (reminder.due)
        if (auto due = dueTime(*reminder.due))
            icalcomponent_add_property(todo.get(), icalproperty_new_due(*due));
    if (reminder.alarm)
        if (auto moment = utcTime(*reminder.alarm)) {
            icaltriggertype trigger{};
            trigger.time = *moment;
            trigger.duration = icaldurationtype_null_duration();
            icalcomponent* alarm = icalcomponent_new_valarm();
            icalcomponent_add_property(alarm, icalproperty_new_action(ICAL_ACTION_DISPLAY));
            icalcomponent_add_property(alarm, icalproperty_new_description(title.c_str()));
            icalcomponent_add_property(alarm, icalproperty_new_trigger(trigger));
            icalcomponent_add_component(todo.get(), alarm);
        }
    return todo;
}

std::string text(icalcomponent* component, const std::string& reminderTitle) {
    char* text = icalcomponent_as_ical_string_r(component);
    if (!text)
        throw platform::RemindersError("could not encode the reminder “" + reminderTitle + "”");
    std::string result(text);
    icalmemory_free_buffer(text);
    return result;
}

std::string calendarText(const platform::NewReminder& reminder, const std::string& uid, platform::Date stamp) {
    Component calendar{icalcomponent_new_vcalendar()};
    icalcomponent_add_property(calendar.get(), icalproperty_new_version("2.0"));
    icalcomponent_add_property(calendar.get(), icalproperty_new_prodid("-//Tavrelin//Tavrelin Agent//EN"));
    icalcomponent_add_component(calendar.get(), newTodo(reminder, uid, stamp).release()); // the calendar owns it
    return text(calendar.get(), reminder.title);
}

icalcomponent* findTodo(icalcomponent* component) {
    if (!component)
        return nullptr;
    if (icalcomponent_isa(component) == ICAL_VTODO_COMPONENT)
        return component;
    return icalcomponent_get_first_component(component, ICAL_VTODO_COMPONENT);
}

platform::SavedReminder readTodo(icalcomponent* todo, const std::string& identifier, const std::string& listTitle) {
    platform::SavedReminder saved;
    saved.identifier = identifier;
    saved.listTitle = listTitle;
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

bool isSameFiling(const platform::SavedReminder& found, std::string_view foundIn, const platform::NewReminder& reminder) {
    if (foundIn != reminder.listIdentifier)
        return false;
    // Compared as stored: what this save would write, read back the same way.
    const Component todo = newTodo(reminder, "", platform::Date{});
    const platform::SavedReminder wanted = readTodo(todo.get(), "", "");
    return std::tie(found.title, found.notes, found.due, found.alarm) ==
           std::tie(wanted.title, wanted.notes, wanted.due, wanted.alarm);
}

} // namespace tavrelin::ical
