#pragma once

#include "Platform/RemindersDatabase.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tavrelin::eds {

// The task lists of Evolution Data Server, where GNOME keeps them: the
// enabled task-list sources of the source registry on the session bus, each
// reminder one VTODO. Every call is synchronous and runs libecal with a main
// context of its own, so nothing it queues lands on the thread that runs the
// front end's event loop.
class EdsRemindersDatabase final : public platform::RemindersDatabase {
public:
    EdsRemindersDatabase();
    ~EdsRemindersDatabase() override;
    EdsRemindersDatabase(const EdsRemindersDatabase&) = delete;
    EdsRemindersDatabase& operator=(const EdsRemindersDatabase&) = delete;

    platform::RemindersPlace place() const override { return platform::RemindersPlace::evolutionDataServer; }
    // Registry answers: full access; no session bus: not determined; a bus
    // whose registry refuses or is absent: denied.
    platform::RemindersAuthorization authorizationStatus() const override;
    // There is no prompt: answers what the registry answers, and never
    // creates a list. Without a session bus the answer carries why.
    platform::RemindersAccessAnswer requestFullAccess() override;
    // Enabled task lists by display name, then by source UID; empty when the
    // registry does not answer.
    std::vector<platform::ReminderList> lists() const override;
    // Creates the VTODO under the delivery's UID (see posix::deliveryUid) in
    // the list whose source UID is `listIdentifier`. A read-only or offline
    // list is a failure, as is anything the calendar factory refuses.
    std::string save(const platform::NewReminder& reminder) override;
    // Looks the UID up in every enabled task list.
    std::optional<platform::SavedReminder> reminder(const std::string& identifier) const override;

    // Why the registry last failed to answer; empty when it answered.
    std::string lastProblem() const;

private:
    struct Session;

    mutable std::mutex mutex_;
    std::unique_ptr<Session> session_;
};

} // namespace tavrelin::eds
