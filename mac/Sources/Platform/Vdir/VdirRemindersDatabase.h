#pragma once

#include "Platform/Files.h"
#include "Platform/RemindersDatabase.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrelin::vdir {

// The task lists as a vdir: a root folder with one folder per list (its title
// in a `displayname` file, else the folder name) and one iCalendar file per
// reminder, `<UID>.ics`, holding one VTODO. Readers ignore `.tmp` files, so a
// reminder appears whole or not at all.
class VdirRemindersDatabase final : public platform::RemindersDatabase {
public:
    // Writes through the POSIX files adapter: temporary file, flushed,
    // renamed, folder flushed.
    explicit VdirRemindersDatabase(std::string root);
    // Writes through `files`, which must outlive the database.
    VdirRemindersDatabase(std::string root, platform::Files& files);
    ~VdirRemindersDatabase() override;

    // $TAVRELIN_REMINDERS_DIR, else $XDG_DATA_HOME/calendars, else
    // $HOME/.local/share/calendars.
    static std::string defaultRoot();

    const std::string& root() const { return root_; }

    // Writable folder: full access; present but not a writable folder: denied;
    // missing: not determined.
    platform::RemindersAuthorization authorizationStatus() const override;
    // Creates the root (empty) when it is missing.
    platform::RemindersAccessAnswer requestFullAccess() override;
    // Sorted by folder name, byte by byte.
    std::vector<platform::ReminderList> lists() const override;
    // The reminder is on disk, flushed, under its final name when this returns.
    std::string save(const platform::NewReminder& reminder) override;
    std::optional<platform::SavedReminder> reminder(const std::string& identifier) const override;

    // True when the text can be a reminder identifier: [A-Za-z0-9_.+-] only,
    // so it can never name a path outside a list folder.
    static bool isValidIdentifier(std::string_view identifier);

private:
    std::string listFolder(const std::string& listIdentifier) const;
    bool identifierTaken(const std::string& uid) const;
    std::string newIdentifier() const;

    std::string root_;
    std::unique_ptr<platform::Files> ownFiles_;
    platform::Files& files_;
};

} // namespace tavrelin::vdir
