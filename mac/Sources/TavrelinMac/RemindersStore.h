#pragma once

#include "Platform/Clock.h"
#include "Platform/RemindersDatabase.h"

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tavrelin {

// Writes reminders into the user's task lists. Used from the poll's
// background task, one call at a time.
class RemindersStore {
public:
    // The answer to the request for access to the task lists.
    struct Access {
        // The request could not be made; `reason` says why.
        struct Failed {
            std::string reason;
            bool operator==(const Failed&) const = default;
        };
        struct Granted {
            bool operator==(const Granted&) const = default;
        };
        struct Denied {
            bool operator==(const Denied&) const = default;
        };
        std::variant<Failed, Granted, Denied> answer;

        static Access failed(std::string reason) { return {Failed{std::move(reason)}}; }
        static Access granted() { return {Granted{}}; }
        static Access denied() { return {Denied{}}; }
        bool operator==(const Access&) const = default;
    };

    // What became of one reminder.
    struct WriteResult {
        // Filed in the list of this title.
        struct Saved {
            std::string listTitle;
            bool operator==(const Saved&) const = default;
        };
        // No list has the name the item gives.
        struct UnknownList {
            std::string name;
            bool operator==(const UnknownList&) const = default;
        };
        // Not filed; `message` says why.
        struct Failed {
            std::string message;
            bool operator==(const Failed&) const = default;
        };
        // The item names no list.
        struct NoList {
            bool operator==(const NoList&) const = default;
        };
        std::variant<Saved, UnknownList, Failed, NoList> outcome;

        static WriteResult saved(std::string listTitle) { return {Saved{std::move(listTitle)}}; }
        static WriteResult unknownList(std::string name) { return {UnknownList{std::move(name)}}; }
        static WriteResult failed(std::string message) { return {Failed{std::move(message)}}; }
        static WriteResult noList() { return {NoList{}}; }
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
