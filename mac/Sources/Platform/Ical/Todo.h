#pragma once

#include "Platform/RemindersDatabase.h"

#include <libical/ical.h>

#include <memory>
#include <string>
#include <string_view>

// The VTODO both task-list backends write and read, so a reminder looks the
// same in a vdir folder and in Evolution Data Server.
namespace tavrelin::ical {

struct ComponentFree {
    void operator()(icalcomponent* component) const { icalcomponent_free(component); }
};
using Component = std::unique_ptr<icalcomponent, ComponentFree>;

// All-day due dates as a DATE, timed ones as a floating date-time, the alarm
// at an absolute UTC moment. Dates iCalendar cannot write are left out.
Component newTodo(const platform::NewReminder& reminder, const std::string& uid, platform::Date stamp);

// The component as iCalendar text; throws RemindersError when libical cannot
// write it.
std::string text(icalcomponent* component, const std::string& reminderTitle);

// A VCALENDAR holding just that VTODO: a task's file or resource. Throws
// RemindersError as text() does.
std::string calendarText(const platform::NewReminder& reminder, const std::string& uid, platform::Date stamp);

// The VTODO a parsed file or resource holds: the component itself, or its
// first VTODO; none without one.
icalcomponent* findTodo(icalcomponent* component);

platform::SavedReminder readTodo(icalcomponent* todo, const std::string& identifier, const std::string& listTitle);

// Whether `found`, a reminder in the list `foundIn` (a list identifier), is
// what saving `reminder` would file: the same list, and the same title, notes,
// due date and alarm as they read back once written. Anything else (another
// item, or one the user edited or moved since) is not the same filing.
bool isSameFiling(const platform::SavedReminder& found, std::string_view foundIn, const platform::NewReminder& reminder);

} // namespace tavrelin::ical
