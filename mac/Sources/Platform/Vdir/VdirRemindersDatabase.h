#pragma once

#include "Platform/Files.h"
#include "Platform/RemindersDatabase.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tavrelin::vdir {

// The task lists as a vdir: a root folder with one folder per list (its title
// in a `displayname` file, else the folder name) and one iCalendar file per
// reminder, `<UID>.ics`, holding one VTODO. Readers ignore `.tmp` files, so a
// reminder appears whole or not at all.
//
// The same root holds calendars of events. A folder whose items hold events
// and none holds a task is a calendar, not a list; an empty folder is a list.
// (vdirsyncer's metadata in a folder, displayname, color, description and
// order, says nothing of what it holds, so the items decide.)
// Each item is read once under its name, and a list's reading stops at its
// first task: a look reads only the items that are new since the last one,
// and a list whose first task is still there costs one stat.
//
// Each lists() call first makes every earlier save durable (it throws
// RemindersError when it cannot), then takes a fresh look at the folders. save() and reminder()
// work from the last look (taking one when there was none) plus the
// database's own writes: the reminders present are listed once per look, not
// probed per call. The first look also removes the temporary files of writes
// a crash interrupted (the files service's own pattern only).
class VdirRemindersDatabase final : public platform::RemindersDatabase {
public:
    // Works through `files`, which must outlive the database.
    VdirRemindersDatabase(std::string root, platform::Files& files);

    // $TAVRELIN_REMINDERS_DIR when it is absolute, else the per-user data
    // folder's "calendars".
    static std::string defaultRoot();

    const std::string& root() const { return root_; }

    platform::RemindersPlace place() const override { return {platform::RemindersPlace::Kind::taskListFolder, root_}; }
    // Writable folder: full access; present but not a writable folder: denied;
    // missing: not determined.
    platform::RemindersAuthorization authorizationStatus() const override;
    // Creates the root (empty) when it is missing.
    platform::RemindersAccessAnswer requestFullAccess() override;
    // Sorted by folder name, byte by byte.
    std::vector<platform::ReminderList> lists() const override;
    // The reminder's content is on disk, flushed, when this returns; its name
    // is once the next lists() call has returned (one folder flush serves
    // every save in between). With a delivery key the UID is derived from it,
    // and a reminder already filed under that UID in any list is answered
    // untouched, as is one an earlier version filed for the same delivery.
    std::string save(const platform::NewReminder& reminder) override;
    std::optional<platform::SavedReminder> reminder(const std::string& identifier) const override;
    // A new folder in the root (made when missing), named after the title
    // (its letters and digits, "-" between words, a number after it when the
    // name is taken), holding the title in `displayname`. It is put together
    // under a temporary name and moved into place in one step, so no reader
    // sees it half made. A title that would not read back the same (empty,
    // with a control character, too long) is refused.
    platform::ReminderList createList(const std::string& title) override;

    // True when the text can be a reminder identifier: [A-Za-z0-9_.+-] only,
    // so it can never name a path outside a list folder.
    static bool isValidIdentifier(std::string_view identifier);

private:
    struct Look {
        Look() : indexed(false) {} // no member initializers: clang wants Look complete in optional<Look>
        std::vector<platform::ReminderList> lists;
        bool indexed;
        // UID → position in `lists` of the folder holding <UID>.ics.
        std::unordered_map<std::string, std::uint32_t> reminders;
    };

    const Look& look() const;
    // With `sweep`, also removes leftover temporary files.
    Look& indexedLook(bool sweep = false) const;
    std::optional<std::uint32_t> listPosition(const std::string& listIdentifier) const;
    std::string newIdentifier() const;
    // The UID of the reminder an earlier version filed for this delivery in
    // the list at `list`, when it is still the same filing.
    std::optional<std::string> filedEarlier(const platform::NewReminder& reminder, std::uint32_t list) const;
    std::optional<platform::SavedReminder> readReminder(const std::string& identifier, std::uint32_t list) const;
    void syncSavedFolders() const;

    // What the items of one folder were found to hold, by file name.
    struct Holdings {
        std::string task;              // an item holding a task; empty when none is known
        std::set<std::string> events;  // items holding events and no task
        std::set<std::string> neither; // items holding neither, or unreadable
    };
    // False for a folder of events; reads only the items not seen before.
    bool holdsTasks(const std::string& folder, Holdings& holdings) const;

    std::string root_;
    platform::Files& files_;
    // Used by one caller at a time, like the whole database.
    mutable std::optional<Look> look_;
    mutable bool swept_ = false;
    // Folders holding saves whose names are not flushed yet.
    mutable std::set<std::string> unsynced_;
    // By folder name; only folders present at the last look.
    mutable std::map<std::string, Holdings> holdings_;
};

} // namespace tavrelin::vdir
