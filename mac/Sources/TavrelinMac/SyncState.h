#pragma once

#include "Platform/Clock.h"
#include "TavrelinMac/Pairing.h"
#include "TavrelinMac/RelayClient.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tavrelin {

// The one shared, observable record of how delivery is going. Main thread only.
// Every operation fires onChange exactly once, last.
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

    Health health = Health::notPaired();
    std::optional<platform::Date> lastSuccessfulPoll;
    std::int64_t deliveredThisSession = 0;
    std::vector<std::string> knownLists;
    std::map<std::string, std::int64_t> refusedByList;
    std::int64_t refusedWithNoList = 0;
    std::map<std::string, std::int64_t> failedWrites; // keys at most 60 characters
    std::optional<std::string> pairedHost;
    std::function<void()> onChange;

    void setPaired(const std::optional<Pairing>& pairing);
    void beginAttempt();
    void pollFailed(const RelayError& error);
    void clearRefusals();
    void recordRefusal(const std::optional<std::string>& list);
    void recordWriteFailure(const std::string& message);
    void pollSucceeded(std::int64_t delivered, std::vector<std::string> lists, std::int64_t writeFailures);

    std::string headline() const;
    std::string lastSyncDescription() const;

    // Fires onChange, if set. For callers that assign `health` directly.
    void changed();

    // The key a failure message is counted under.
    static std::string failureKey(const std::string& message);

private:
    const platform::Clock& clock_;
};

} // namespace tavrelin
