#pragma once

#include "Platform/Date.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavrelin::platform {

enum class RemindersAuthorization { notDetermined, restricted, denied, fullAccess, writeOnly };

// Where the reminders go, as the words name it. One place of each kind on a
// computer: the kind tells them apart.
struct RemindersPlace {
    enum class Kind { eventKit, evolutionDataServer, taskListFolder, calDavServer };
    Kind kind = Kind::taskListFolder;
    // What names this place to a person beyond its kind: a folder's path, a
    // server's address. Empty where the kind says it all.
    std::string location;
    // The user name of a place reached with an account; empty for the others.
    std::string account = {};
    bool operator==(const RemindersPlace&) const = default;

    // Reached with an account and its password: denied access there means
    // the server refused the password, and signing in again is the way back.
    bool signsIn() const { return kind == Kind::calDavServer; }
};

// What a person (or the system) answered to the request for full access. A
// request that could not be made at all throws RemindersError, saying why.
enum class RemindersAccessAnswer { granted, denied };

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
    // Names the delivery this reminder comes from: the backend (the
    // pairing's apiBase), the relay item's id and all its content, encoded so
    // that two different items never share a key (see deliveryKey in
    // RemindersModule.h). A database that already holds a reminder saved
    // under the same key answers that reminder and writes nothing, so an item
    // delivered again is not filed twice, while another item that reuses the
    // id is filed. Databases that make their own identifiers derive them from
    // the key alone (posix::deliveryUid). Empty: no key.
    std::string deliveryKey;
    // The key earlier versions filed a delivery under: the backend's host and
    // the item's id, joined by a line feed. Another backend on that host, or
    // a relay that restarted, reuses ids, so a reminder found under this key
    // counts as this delivery only when it is in this reminder's list and
    // holds what this save would write (ical::isSameFiling); otherwise the
    // reminder is filed under `deliveryKey`. Empty: none.
    std::string earlierDeliveryKey = {};
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
    // Asks for full access and blocks until answered. Throws RemindersError.
    virtual RemindersAccessAnswer requestFullAccess() = 0;
    // In a stable order. Every reminder saved before the call is durable
    // when it returns (else it throws RemindersError).
    virtual std::vector<ReminderList> lists() const = 0;
    // Saves and commits; answers the new reminder's identifier, or the
    // identifier of the reminder already filed for the same delivery (see
    // NewReminder), untouched. Throws RemindersError.
    virtual std::string save(const NewReminder& reminder) = 0;
    virtual std::optional<SavedReminder> reminder(const std::string& identifier) const = 0;
    // Makes a list with this title, durable when this returns, and answers
    // it; a list already titled so (texts canonically equivalent in Unicode
    // count as equal) is answered instead, so asking twice makes one list.
    // Throws RemindersError, also for a title it cannot keep as given.
    virtual ReminderList createList(const std::string& title) = 0;
};

} // namespace tavrelin::platform
