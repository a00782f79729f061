#pragma once

#include "Platform/Clock.h"
#include "Platform/Http.h"
#include "Platform/MainLoop.h"
#include "Platform/RemindersDatabase.h"
#include "TavrelinMac/AppInfo.h"
#include "TavrelinMac/DeliveryModule.h"
#include "TavrelinMac/RelayClient.h"
#include "TavrelinMac/RemindersStore.h"
#include "TavrelinMac/SyncState.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrelin {

// The key a relay item is filed under (see platform::NewReminder): the
// backend's apiBase, the item's id, title, notes, due text, all-day flag and
// list, in that order. Each text is its length in bytes, a colon and its bytes
// with backslashes and line feeds escaped; an absent one is "-"; the fields
// follow a fixed tag, each after a space. Read from the left, a key gives back
// every field, so two different items never share one; and it holds no line
// feed, which every earlierDeliveryKey holds.
std::string deliveryKey(std::string_view apiBase, const RelayItem& item);
// The key earlier versions filed an item under: the backend's host and the
// item's id, joined by a line feed.
std::string earlierDeliveryKey(std::string_view apiBase, const RelayItem& item);

// Polls the backend every 30 s, files each item into the task lists,
// acknowledges what it wrote and backs off after failures. Owned through a
// shared_ptr: its timer and poll hold it weakly.
class RemindersModule final : public DeliveryModule, public std::enable_shared_from_this<RemindersModule> {
public:
    RemindersModule(platform::MainLoop& mainLoop, const platform::Clock& clock, platform::Http& http, const AppInfo& appInfo,
                    platform::RemindersDatabase& reminders, SyncState& state);
    ~RemindersModule() override;

    std::string id() const override { return "reminders"; }
    std::string title() const override;
    std::string statusLine() const override { return state_.lastSyncDescription(); }

    void start(const Pairing& pairing) override;
    void stop() override;
    void syncNow() override;
    std::vector<platform::MenuItem> menuItems() const override;

    // Read-only views for the menu and for tests.
    bool inFlight() const { return inFlight_; }
    std::optional<platform::Date> nextAttemptAt() const { return nextAttemptAt_; }
    // Where the reminders go.
    const platform::RemindersPlace& place() const { return place_; }

    // Files into `database` from the next poll on: a poll (or a list being
    // made) that runs now ends where it began. Once the switch holds it is
    // logged and a poll starts at once.
    void usePlace(platform::RemindersDatabase& database);
    // Makes the list in the place in use, off the main thread and never
    // beside a poll, then polls at once, so what waits for it is filed now
    // rather than at the next tick (or after a back-off). `done` runs on the
    // main thread with why it failed, none once the list is there.
    using ListDone = std::function<void(const std::optional<std::string>& problem)>;
    void createList(const std::string& name, ListDone done);

    // What the section offers where the platform has it; none gives the
    // section of the product's menu.
    // The places there are: a line names the one in use, and an entry for
    // each other one calls onUsePlace.
    std::function<std::vector<platform::RemindersPlace>()> availablePlaces;
    std::function<void(const platform::RemindersPlace&)> onUsePlace;
    // An entry under each "no list named" line calls it with the name.
    std::function<void(const std::string& name)> onCreateList;
    // An entry that sets up a place reached with an account calls it; while
    // `signingIn` names a place being signed in to, a line says so instead.
    std::function<void()> onSetUpAccount;
    std::function<std::optional<platform::RemindersPlace>()> signingIn;

    static constexpr platform::TimeInterval interval = 30;
    static constexpr platform::TimeInterval maxBackoff = 900;

private:
    void tick(bool force);
    // The background half of a poll: every exchange and write, and the log
    // lines they call for. Touches no shared state.
    PollOutcome runPoll(const RelayClient& client);
    // The main-thread half: records the outcome, unless a start or stop came since.
    void finishPoll(const PollOutcome& outcome, std::uint64_t generation);
    void backOff();
    // Between polls: puts a waiting switch in place, makes the next waiting
    // list, or polls when one of them asked for it.
    void runWaitingWork();
    void finishList(const std::optional<std::string>& problem);

    platform::MainLoop& mainLoop_;
    const platform::Clock& clock_;
    platform::Http& http_;
    const AppInfo& appInfo_;
    // Touched off the main thread only by the poll or list creation that
    // runs; replaced by a switch only between them.
    RemindersStore store_;
    platform::RemindersPlace place_; // where the reminders go, as the words name it
    SyncState& state_;
    std::shared_ptr<const RelayClient> client_;
    std::unique_ptr<platform::Timer> timer_;
    bool inFlight_ = false;
    std::int64_t consecutiveFailures_ = 0;
    std::optional<platform::Date> nextAttemptAt_;
    // Bumped by every start and stop, so a poll that outlives them is dropped.
    std::uint64_t generation_ = 0;
    // Work that waits for the poll running: a switch, lists to make.
    platform::RemindersDatabase* nextDatabase_ = nullptr;
    struct ListRequest {
        std::string name;
        ListDone done;
    };
    std::deque<ListRequest> listRequests_;
    bool makingList_ = false;
    bool pollAfterwards_ = false;
};

} // namespace tavrelin
