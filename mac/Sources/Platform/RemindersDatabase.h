#pragma once

#include "Platform/Date.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavrelin::platform {

enum class RemindersAuthorization { notDetermined, restricted, denied, fullAccess, writeOnly };

// Where the reminders go, so the words can name it.
enum class RemindersPlace { eventKit, evolutionDataServer, taskListFolder, calDavServer };

struct RemindersAccessAnswer {
    bool granted = false;
    std::optional<std::string> error; // the request itself failed
};

struct ReminderList {
    std::string identifier;
    std::string title;
};

struct NewReminder {
    std::string listIdentifier;
    std::string title;
    std::optional<std::string> notes;
    std::optional<DateComponents> due;
    std::optional<Date> alarm; // absolute
    // Names the delivery this reminder comes from: the backend host and the
    // relay item's id, joined by a line feed. A database that already holds a
    // reminder saved under the same key answers that reminder and writes
    // nothing, so an item delivered again is not filed twice. Empty: no key.
    std::string deliveryKey;
};

struct SavedReminder {
    std::string identifier;
    std::optional<std::string> listTitle;
    std::string title;
    std::optional<std::string> notes;
    std::optional<DateComponents> due;
    std::optional<Date> alarm;
};

class RemindersError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The user's task lists. Called off the main thread, one caller at a time.
class RemindersDatabase {
public:
    virtual ~RemindersDatabase() = default;
    virtual RemindersPlace place() const = 0;
    virtual RemindersAuthorization authorizationStatus() const = 0;
    // Asks for full access and blocks until answered.
    virtual RemindersAccessAnswer requestFullAccess() = 0;
    // In a stable order. Every reminder saved before the call is durable
    // when it returns (else it throws RemindersError).
    virtual std::vector<ReminderList> lists() const = 0;
    // Saves and commits; answers the new reminder's identifier, or the
    // identifier of the reminder already saved under the same delivery key,
    // untouched. Throws RemindersError.
    virtual std::string save(const NewReminder& reminder) = 0;
    virtual std::optional<SavedReminder> reminder(const std::string& identifier) const = 0;
};

} // namespace tavrelin::platform
