#pragma once

#include "Platform/Clock.h"
#include "Platform/RemindersDatabase.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrelin {

// Writes reminders into the user's task lists. Used from the poll's
// background task, one call at a time.
class RemindersStore {
public:
    struct Access {
        enum class Kind { failed, granted, denied };
        Kind kind;
        std::string message; // failed only
        static Access failed(std::string message) { return {Kind::failed, std::move(message)}; }
        static Access granted() { return {Kind::granted, {}}; }
        static Access denied() { return {Kind::denied, {}}; }
        bool operator==(const Access&) const = default;
    };

    struct WriteResult {
        enum class Kind { saved, unknownList, failed, noList };
        Kind kind;
        std::string value; // saved: list title; unknownList: requested name; failed: message
        static WriteResult saved(std::string listTitle) { return {Kind::saved, std::move(listTitle)}; }
        static WriteResult unknownList(std::string name) { return {Kind::unknownList, std::move(name)}; }
        static WriteResult failed(std::string message) { return {Kind::failed, std::move(message)}; }
        static WriteResult noList() { return {Kind::noList, {}}; }
        bool operator==(const WriteResult&) const = default;
    };

    RemindersStore(platform::RemindersDatabase& database, const platform::Clock& clock) : database_(&database), clock_(clock) {}

    // Works with this database from now on, as a new store would: it asks
    // for access anew. Never while a call is running.
    void useDatabase(platform::RemindersDatabase& database);
    platform::RemindersPlace place() const { return database_->place(); }

    // Prompts at most once per process while the status stays undetermined.
    // Called first in every poll, it also starts the poll's look at the lists:
    // the creates that follow find lists as the first of them saw them.
    Access requestAccess();
    // The keys name the delivery (see platform::NewReminder); empty for none.
    [[nodiscard]] WriteResult create(const std::string& title, const std::optional<std::string>& notes,
                                     const std::optional<std::string>& dueIso, bool allDay,
                                     const std::optional<std::string>& listName, const std::string& deliveryKey,
                                     const std::string& earlierDeliveryKey);
    // Always a fresh look. Every reminder created before the call is durable
    // when it returns, so the acknowledgement that reports these names
    // covers only reminders on disk; throws when that cannot be done.
    std::vector<std::string> listNames() const;
    // Makes the list, or finds it made already; throws RemindersError.
    void createList(const std::string& name);

    // Reads "2024-05-01T14:30" forgivingly; pure.
    static std::optional<platform::DateComponents> dueComponents(std::string_view dueIso, bool allDay);

private:
    Access prompt();

    platform::RemindersDatabase* database_;
    const platform::Clock& clock_;
    bool didPrompt_ = false;
    std::optional<Access> lastAnswer_;
    // The lists of this poll, taken by its first create, or why they could
    // not be: the poll's other creates fail the same way without asking again.
    std::optional<std::vector<platform::ReminderList>> lists_;
    std::optional<std::string> listsProblem_;
};

} // namespace tavrelin
