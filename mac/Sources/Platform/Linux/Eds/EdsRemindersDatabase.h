#pragma once

#include "Platform/Linux/Eds/EdsTaskLists.h"

#include <chrono>
#include <cstddef>
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
//
// Every call waits on the server for at most `callLimit`. When the server is
// gone or stops answering, the call fails with "Evolution Data Server is not
// answering", every opened list is dropped, and later saves fail the same way
// at once until the registry is asked again (lists(), the authorization
// calls or probe()), which reconnects.
class EdsRemindersDatabase final : public EdsTaskLists {
public:
    static constexpr std::chrono::milliseconds defaultCallLimit{20'000};

    explicit EdsRemindersDatabase(std::chrono::milliseconds callLimit = defaultCallLimit);
    ~EdsRemindersDatabase() override;
    EdsRemindersDatabase(const EdsRemindersDatabase&) = delete;
    EdsRemindersDatabase& operator=(const EdsRemindersDatabase&) = delete;

    EdsProbe probe() const override;

    platform::RemindersPlace place() const override { return {platform::RemindersPlace::Kind::evolutionDataServer, {}}; }
    // Registry answers: full access; otherwise not determined, so that the
    // access request says why.
    platform::RemindersAuthorization authorizationStatus() const override;
    // There is no prompt: answers what the registry answers, and never
    // creates a list. When it does not answer, the answer carries why.
    platform::RemindersAccessAnswer requestFullAccess() override;
    // Enabled task lists by display name, then by source UID. Throws when the
    // registry does not answer.
    std::vector<platform::ReminderList> lists() const override;
    // Creates the VTODO under the delivery's UID (see posix::deliveryUid) in
    // the list whose source UID is `listIdentifier`, unless that delivery is
    // filed already: under its UID in any list, or under the earlier key's
    // UID in this list as the same filing. A list EDS reports read-only or
    // offline is a failure, as is anything the calendar factory refuses.
    std::string save(const platform::NewReminder& reminder) override;
    // Looks the UID up in every enabled task list; throws when the server
    // does not answer.
    std::optional<platform::SavedReminder> reminder(const std::string& identifier) const override;
    // A new local task list (a source under "On This Computer", as GNOME's
    // task apps make one), enabled, once the registry lists it; an enabled
    // task list already of that title is answered instead.
    platform::ReminderList createList(const std::string& title) override;

private:
    struct Session;

    mutable std::mutex mutex_;
    std::unique_ptr<Session> session_;
};

} // namespace tavrelin::eds
