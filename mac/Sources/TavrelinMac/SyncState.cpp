#include "TavrelinMac/SyncState.h"

#include "TavrelinMac/Text.h"
#include "TavrelinMac/Url.h"

#include <cmath>

namespace tavrelin {

void SyncState::setPaired(const std::optional<Pairing>& pairing) {
    if (pairing) {
        // A new pairing keeps health and tallies; the module sets working itself.
        pairedHost = hostOfPairing(pairing->apiBase);
    } else {
        pairedHost.reset();
        health = Health::notPaired();
        lastSuccessfulPoll.reset();
        deliveredThisSession = 0;
        refusedByList.clear();
        refusedWithNoList = 0;
        failedWrites.clear();
        // knownLists stays: the lists on this computer did not change.
    }
    changed();
}

void SyncState::beginAttempt() {
    health = Health::working();
    changed();
}

void SyncState::pollFailed(const RelayError& error) {
    if (error.kind() == RelayError::Kind::unauthorized)
        health = Health::broken(error.what());
    else
        health = Health::warning(error.what());
    changed();
}

void SyncState::clearRefusals() {
    refusedByList.clear();
    refusedWithNoList = 0;
    changed();
}

void SyncState::recordRefusal(const std::optional<std::string>& list) {
    if (list && !list->empty())
        ++refusedByList[*list];
    else
        ++refusedWithNoList;
    changed();
}

void SyncState::recordWriteFailure(const std::string& message) {
    ++failedWrites[failureKey(message)];
    changed();
}

void SyncState::pollSucceeded(std::int64_t delivered, std::vector<std::string> lists, std::int64_t writeFailures) {
    lastSuccessfulPoll = clock_.now();
    deliveredThisSession += delivered;
    knownLists = std::move(lists);
    // A refused token is only cleared by pairing again, not by a later poll.
    if (health.kind != Health::Kind::broken) {
        if (writeFailures <= 0)
            health = Health::idle();
        else
            health = Health::warning(std::to_string(writeFailures) + " couldn\u2019t be saved");
    }
    changed();
}

std::string SyncState::headline() const {
    switch (health.kind) {
    case Health::Kind::warning:
        return "Trouble: " + health.message;
    case Health::Kind::broken:
        return "Stopped: " + health.message;
    case Health::Kind::notPaired:
        return "Not paired";
    case Health::Kind::needsPermission:
        return "Needs Reminders access";
    case Health::Kind::idle:
        return "Connected";
    case Health::Kind::working:
        return "Checking\u2026";
    }
    return {};
}

std::string SyncState::lastSyncDescription() const {
    if (!lastSuccessfulPoll)
        return "No reminders collected yet";
    double elapsed = clock_.now() - *lastSuccessfulPoll;
    // Guard the conversion: a clock far off either way still gives a sane text.
    if (!(elapsed < 9.2e18))
        elapsed = std::isnan(elapsed) ? 0.0 : 9.2e18;
    if (elapsed < -9.2e18)
        elapsed = -9.2e18;
    auto s = static_cast<std::int64_t>(std::trunc(elapsed));
    if (s <= 9)
        return "Last checked just now";
    if (s <= 59)
        return "Last checked " + std::to_string(s) + "s ago";
    if (s <= 3599)
        return "Last checked " + std::to_string(s / 60) + "m ago";
    return "Last checked " + std::to_string(s / 3600) + "h ago";
}

void SyncState::changed() {
    // A copy, so an observer may replace itself while it runs.
    auto observer = onChange;
    if (observer)
        observer();
}

std::string SyncState::failureKey(const std::string& message) {
    if (text::characterCount(message) >= 61)
        return text::characterPrefix(message, 59) + "\u2026";
    return message;
}

} // namespace tavrelin
