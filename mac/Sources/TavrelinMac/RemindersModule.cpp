#include "TavrelinMac/RemindersModule.h"

#include "TavrelinMac/Logging.h"
#include "TavrelinMac/Text.h"
#include "TavrelinMac/Url.h"

#include <algorithm>
#include <cmath>
#include <exception>

namespace tavrelin {

using platform::MenuItem;

RemindersModule::RemindersModule(Services& services, SyncState& state)
    : services_(services), store_(services.reminders, services.clock), state_(state) {}

RemindersModule::~RemindersModule() = default;

void RemindersModule::start(const Pairing& pairing) {
    client_ = std::make_shared<const RelayClient>(pairing, services_.http, services_.appInfo);
    ++generation_;
    state_.setPaired(pairing);
    consecutiveFailures_ = 0;
    nextAttemptAt_.reset();
    state_.health = SyncState::Health::working();
    state_.changed();

    timer_.reset();
    std::weak_ptr<RemindersModule> weak = weak_from_this();
    timer_ = services_.mainLoop.repeating(interval, [weak] {
        if (auto self = weak.lock())
            self->tick(false);
    });
    Log::info("module reminders started, backend " + hostOfPairing(pairing.apiBase));
    tick(false);
}

void RemindersModule::stop() {
    timer_.reset();
    client_.reset();
    ++generation_;
    state_.setPaired(std::nullopt);
    Log::info("module reminders stopped");
}

void RemindersModule::syncNow() {
    tick(true);
}

void RemindersModule::tick(bool force) {
    if (!client_ || inFlight_)
        return;
    if (!force && nextAttemptAt_ && services_.clock.now() < *nextAttemptAt_)
        return;
    inFlight_ = true;
    state_.beginAttempt();

    std::weak_ptr<RemindersModule> weak = weak_from_this();
    services_.mainLoop.background(platform::Priority::normal, [weak, client = client_, generation = generation_] {
        auto self = weak.lock();
        if (!self)
            return;
        self->runPoll(client, generation);
        // Cleared even for a dropped poll, and posted last, so nobody sees
        // inFlight false before the outcome. The module's reference goes back
        // with it: should this be the last one, the module dies on the main thread.
        platform::MainLoop& loop = self->services_.mainLoop;
        loop.onMain([self = std::move(self)]() mutable {
            self->inFlight_ = false;
            self.reset();
        });
    });
}

void RemindersModule::runPoll(std::shared_ptr<const RelayClient> client, std::uint64_t generation) {
    // A poll is not cancelled by stop() or a restart, but once either has
    // happened its outcome no longer describes the current pairing: its state
    // updates are dropped, so a stopped module stays "not paired".
    std::weak_ptr<RemindersModule> weak = weak_from_this();
    auto report = [this, weak, generation](std::function<void(RemindersModule&)> step) {
        services_.mainLoop.onMain([weak, generation, step = std::move(step)] {
            auto self = weak.lock();
            if (!self || self->generation_ != generation)
                return;
            step(*self);
        });
    };
    auto failed = [&](const RelayError& error) {
        report([error](RemindersModule& m) {
            m.state_.pollFailed(error);
            m.backOff();
        });
    };

    auto access = store_.requestAccess();
    if (access.kind == RemindersStore::Access::Kind::denied) {
        Log::warn("reminders access denied");
        report([](RemindersModule& m) {
            m.state_.health = SyncState::Health::needsPermission();
            m.state_.changed();
        });
        return;
    }
    if (access.kind == RemindersStore::Access::Kind::failed) {
        Log::error("reminders access error");
        report([reason = access.message](RemindersModule& m) {
            m.state_.health = SyncState::Health::broken("Reminders access failed: " + reason);
            m.state_.changed();
        });
        return;
    }

    std::vector<RelayItem> items;
    try {
        items = client->fetchPending();
    } catch (const RelayError& error) {
        Log::warn(std::string("poll failed: ") +
                  (error.kind() == RelayError::Kind::unauthorized ? "unauthorized" : "transport"));
        failed(error);
        return;
    } catch (const std::exception& error) {
        failed(RelayError::transport(error.what()));
        return;
    } catch (...) {
        failed(RelayError::transport("unknown error"));
        return;
    }

    std::vector<std::string> delivered;
    std::vector<std::optional<std::string>> refusals;
    std::vector<std::string> writeFailures;
    for (const auto& item : items) {
        auto result = store_.create(item.title, item.notes, item.dueIso, item.allDay, item.list,
                                    hostOfPairing(client->pairing().apiBase) + "\n" + item.id);
        switch (result.kind) {
        case RemindersStore::WriteResult::Kind::saved:
            delivered.push_back(item.id);
            Log::info("delivered " + item.id + " -> list " + result.value);
            break;
        case RemindersStore::WriteResult::Kind::unknownList:
            refusals.emplace_back(result.value);
            Log::warn("refused " + item.id + ": unknown list");
            break;
        case RemindersStore::WriteResult::Kind::noList:
            refusals.emplace_back(std::nullopt);
            Log::warn("refused " + item.id + ": no list specified");
            break;
        case RemindersStore::WriteResult::Kind::failed:
            writeFailures.push_back(result.value);
            Log::error("failed " + item.id + ": " + result.value);
            break;
        }
    }

    std::vector<std::string> lists;
    try {
        lists = store_.listNames();
        client->ack(delivered, lists);
    } catch (const RelayError& error) {
        Log::warn("ack failed after " + std::to_string(delivered.size()) + " writes; items may be redelivered");
        failed(error);
        return;
    } catch (const std::exception& error) {
        failed(RelayError::transport(error.what()));
        return;
    } catch (...) {
        failed(RelayError::transport("unknown error"));
        return;
    }

    report([fetched = items.size(), delivered = delivered.size(), refusals = std::move(refusals),
            writeFailures = std::move(writeFailures), lists = std::move(lists)](RemindersModule& m) mutable {
        m.consecutiveFailures_ = 0;
        m.nextAttemptAt_.reset();
        // A poll without items says nothing about the waiting ones: keep the tallies.
        if (fetched > 0) {
            m.state_.clearRefusals();
            for (const auto& list : refusals)
                m.state_.recordRefusal(list);
            m.state_.failedWrites.clear();
            m.state_.changed();
            for (const auto& message : writeFailures)
                m.state_.recordWriteFailure(message);
        }
        m.state_.pollSucceeded(static_cast<std::int64_t>(delivered), std::move(lists),
                               static_cast<std::int64_t>(writeFailures.size()));
    });
}

void RemindersModule::backOff() {
    std::int64_t n = ++consecutiveFailures_;
    double delay = std::min(interval * std::pow(2.0, static_cast<double>(std::min<std::int64_t>(n, 6) - 1)), maxBackoff);
    nextAttemptAt_ = services_.clock.now() + delay;
    Log::info("backing off " + std::to_string(static_cast<std::int64_t>(delay)) + "s after " + std::to_string(n) +
              " consecutive failures");
}

std::vector<MenuItem> RemindersModule::menuItems() const {
    std::vector<MenuItem> items;
    auto line = [&items](std::string title) {
        MenuItem item;
        item.title = std::move(title);
        items.push_back(std::move(item));
    };
    using Tally = std::pair<std::string, std::int64_t>;
    auto sorted = [](const std::map<std::string, std::int64_t>& tallies) {
        std::vector<Tally> entries(tallies.begin(), tallies.end());
        std::stable_sort(entries.begin(), entries.end(),
                         [](const Tally& a, const Tally& b) { return text::codePointLess(a.first, b.first); });
        return entries;
    };

    const auto n = state_.deliveredThisSession;
    if (n > 0)
        line(std::to_string(n) + (n == 1 ? " reminder" : " reminders") + " filed this session");
    for (const auto& [name, count] : sorted(state_.refusedByList))
        line(std::to_string(count) + " waiting: no list named \u201C" + name + "\u201D on this Mac");
    if (state_.refusedWithNoList > 0)
        line(std::to_string(state_.refusedWithNoList) + " waiting: no list chosen in settings");
    for (const auto& [message, count] : sorted(state_.failedWrites))
        line(std::to_string(count) + " couldn\u2019t be saved: " + message + " \u2014 still retrying");
    if (!state_.knownLists.empty()) {
        MenuItem lists;
        lists.title = "Lists on this Mac";
        lists.enabled = true; // so its submenu opens
        for (const auto& name : state_.knownLists) {
            MenuItem entry;
            entry.title = name;
            lists.submenu.push_back(std::move(entry));
        }
        items.push_back(std::move(lists));
    }
    return items;
}

} // namespace tavrelin
