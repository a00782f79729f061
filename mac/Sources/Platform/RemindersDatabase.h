#pragma once

#include "Platform/Date.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavrelin::platform {

enum class RemindersAuthorization { notDetermined, restricted, denied, fullAccess, writeOnly };

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
    virtual RemindersAuthorization authorizationStatus() const = 0;
    // Asks for full access and blocks until answered.
    virtual RemindersAccessAnswer requestFullAccess() = 0;
    // In a stable order.
    virtual std::vector<ReminderList> lists() const = 0;
    // Saves and commits; answers the new reminder's identifier. Throws
    // RemindersError.
    virtual std::string save(const NewReminder& reminder) = 0;
    virtual std::optional<SavedReminder> reminder(const std::string& identifier) const = 0;
};

} // namespace tavrelin::platform
