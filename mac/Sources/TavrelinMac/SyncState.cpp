#include "TavrelinMac/SyncState.h"

#include "Base/Text.h"
#include "TavrelinMac/Url.h"
#include "TavrelinMac/Words.h"

#include <cmath>

namespace tavrelin {

void SyncState::setPaired(const std::optional<Pairing>& pairing) {
    if (pairing) {
        // A new pairing keeps health and tallies; the module sets working itself.
        pairedHost_ = hostOfPairing(pairing->apiBase);
    } else {
        pairedHost_.reset();
        health_ = Health::notPaired();
        lastSuccessfulPoll_.reset();
        deliveredThisSession_ = 0;
        refusedByList_.clear();
        refusedWithNoList_ = 0;
        failedWrites_.clear();
        // knownLists stays: the lists on this computer did not change.
    }
    changed();
}

void SyncState::beginAttempt() {
    health_ = Health::working();
    changed();
}

void SyncState::record(const PollOutcome& outcome) {
    struct Recorder {
        SyncState& state;
        void operator()(const PollOutcome::AccessDenied& denied) {
            state.health_ = Health::needsPermission();
            state.needsSignIn_ = denied.signIn;
        }
        void operator()(const PollOutcome::AccessFailed& failed) {
            state.health_ = Health::broken(words::health::accessFailed(failed.reason));
        }
        void operator()(const PollOutcome::Failed& failed) { state.pollFailed(failed.error); }
        void operator()(const PollOutcome::ListsFailed& failed) {
            state.health_ = Health::warning(words::health::listsFailed(failed.reason));
        }
        void operator()(const PollOutcome::Succeeded& poll) { state.pollSucceeded(poll); }
    };
    needsSignIn_ = false;
    std::visit(Recorder{*this}, outcome.value);
    changed();
}

void SyncState::pollFailed(const RelayError& error) {
    if (error.kind() == RelayError::Kind::unauthorized)
        health_ = Health::broken(error.what());
    else
        health_ = Health::warning(error.what());
}

void SyncState::recordRefusal(const std::optional<std::string>& list) {
    if (list && !list->empty())
        ++refusedByList_[*list];
    else
        ++refusedWithNoList_;
}

void SyncState::pollSucceeded(const PollOutcome::Succeeded& poll) {
    // A poll without items says nothing about the waiting ones: keep the tallies.
    if (poll.fetched > 0) {
        refusedByList_.clear();
        refusedWithNoList_ = 0;
        for (const auto& list : poll.refusals)
            recordRefusal(list);
        failedWrites_.clear();
        for (const auto& message : poll.writeFailures)
            ++failedWrites_[failureKey(message)];
    }
    lastSuccessfulPoll_ = clock_.now();
    deliveredThisSession_ += poll.delivered;
    knownLists_ = poll.lists;
    // A refused token is only cleared by pairing again, not by a later poll.
    if (health_.kind != Health::Kind::broken) {
        const auto failures = static_cast<std::int64_t>(poll.writeFailures.size());
        if (failures <= 0)
            health_ = Health::idle();
        else
            health_ = Health::warning(words::health::writesFailed(failures));
    }
}

std::string SyncState::headline() const {
    switch (health_.kind) {
    case Health::Kind::warning:
        return words::health::trouble(health_.message);
    case Health::Kind::broken:
        return words::health::stopped(health_.message);
    case Health::Kind::notPaired:
        return words::health::notPaired();
    case Health::Kind::needsPermission:
        return needsSignIn_ ? words::health::needsSignIn() : words::health::needsAccess();
    case Health::Kind::idle:
        return words::health::connected();
    case Health::Kind::working:
        return words::health::checking();
    }
    return {};
}

std::string SyncState::lastSyncDescription() const {
    if (!lastSuccessfulPoll_)
        return words::health::noneCollected();
    double elapsed = clock_.now() - *lastSuccessfulPoll_;
    // Guard the conversion: a clock far off either way still gives a sane text.
    if (!(elapsed < 9.2e18))
        elapsed = std::isnan(elapsed) ? 0.0 : 9.2e18;
    if (elapsed < -9.2e18)
        elapsed = -9.2e18;
    auto s = static_cast<std::int64_t>(std::trunc(elapsed));
    if (s <= 9)
        return words::health::checkedJustNow();
    if (s <= 59)
        return words::health::checkedSecondsAgo(s);
    if (s <= 3599)
        return words::health::checkedMinutesAgo(s / 60);
    return words::health::checkedHoursAgo(s / 3600);
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
