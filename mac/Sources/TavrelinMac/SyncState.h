#pragma once

#include "Platform/Clock.h"
#include "TavrelinMac/Pairing.h"
#include "TavrelinMac/RelayClient.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tavrelin {

// What one poll came to, answered by its background step and recorded on the
// main thread in one go.
struct PollOutcome {
    struct AccessDenied {
        // The place is reached with an account, and the server refused its
        // password (or none is kept): signing in again is the way back.
        bool signIn = false;
    };
    struct AccessFailed {
        std::string reason;
    };
    // Fetching or acknowledging failed; nothing of the poll is counted.
    struct Failed {
        RelayError error;
    };
    // The task lists could not be read after the writes, or what was written
    // could not be made durable: nothing was acknowledged or counted.
    struct ListsFailed {
        std::string reason;
    };
    struct Succeeded {
        std::int64_t fetched = 0;
        std::int64_t delivered = 0;
        // The requested list name per refused item, none when it named no list.
        std::vector<std::optional<std::string>> refusals;
        std::vector<std::string> writeFailures;
        std::vector<std::string> lists;
    };
    std::variant<AccessDenied, AccessFailed, Failed, ListsFailed, Succeeded> value;
};

// The one shared, observable record of how delivery is going. Main thread
// only. Every operation fires onChange exactly once, last.
class SyncState {
public:
    struct Health {
        enum class Kind { warning, broken, notPaired, needsPermission, idle, working };
        Kind kind = Kind::notPaired;
        std::string message; // warning and broken only

        static Health warning(std::string message) { return {Kind::warning, std::move(message)}; }
        static Health broken(std::string message) { return {Kind::broken, std::move(message)}; }
        static Health notPaired() { return {Kind::notPaired, {}}; }
        static Health needsPermission() { return {Kind::needsPermission, {}}; }
        static Health idle() { return {Kind::idle, {}}; }
        static Health working() { return {Kind::working, {}}; }
        bool operator==(const Health&) const = default;
    };

    explicit SyncState(const platform::Clock& clock) : clock_(clock) {}

    std::function<void()> onChange;

    // With a pairing: names its host and keeps health and tallies. Without:
    // not paired, session counters cleared, known lists kept.
    void setPaired(const std::optional<Pairing>& pairing);
    // A poll started (or a module started): working.
    void beginAttempt();
    // A poll's outcome, as one change.
    void record(const PollOutcome& outcome);

    const Health& health() const { return health_; }
    const std::optional<platform::Date>& lastSuccessfulPoll() const { return lastSuccessfulPoll_; }
    std::int64_t deliveredThisSession() const { return deliveredThisSession_; }
    const std::vector<std::string>& knownLists() const { return knownLists_; }
    const std::map<std::string, std::int64_t>& refusedByList() const { return refusedByList_; }
    std::int64_t refusedWithNoList() const { return refusedWithNoList_; }
    const std::map<std::string, std::int64_t>& failedWrites() const { return failedWrites_; } // keys ≤ 60 characters
    const std::optional<std::string>& pairedHost() const { return pairedHost_; }
    // Whether the access that is needed is a sign-in (see PollOutcome::AccessDenied).
    bool needsSignIn() const { return health_.kind == Health::Kind::needsPermission && needsSignIn_; }

    std::string headline() const;
    std::string lastSyncDescription() const;

    // The key a failure message is counted under.
    static std::string failureKey(const std::string& message);

private:
    void pollFailed(const RelayError& error);
    void recordRefusal(const std::optional<std::string>& list);
    void pollSucceeded(const PollOutcome::Succeeded& poll);
    void changed();

    const platform::Clock& clock_;
    Health health_ = Health::notPaired();
    std::optional<platform::Date> lastSuccessfulPoll_;
    std::int64_t deliveredThisSession_ = 0;
    std::vector<std::string> knownLists_;
    std::map<std::string, std::int64_t> refusedByList_;
    std::int64_t refusedWithNoList_ = 0;
    std::map<std::string, std::int64_t> failedWrites_;
    std::optional<std::string> pairedHost_;
    bool needsSignIn_ = false; // with needsPermission: from the last poll's outcome
};

} // namespace tavrelin
