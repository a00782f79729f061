#include "TavrelinMac/RemindersModule.h"

#include "Base/Text.h"
#include "TavrelinMac/Logging.h"
#include "TavrelinMac/Url.h"
#include "TavrelinMac/Words.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <utility>
#include <variant>

namespace tavrelin {

using platform::MenuItem;

namespace {

// One visitor of a variant's alternatives, one lambda each.
template <class... Lambdas> struct Overloaded : Lambdas... { using Lambdas::operator()...; };
template <class... Lambdas> Overloaded(Lambdas...) -> Overloaded<Lambdas...>;

void appendKeyField(std::string& key, const std::optional<std::string>& field) {
    key += ' ';
    if (!field) {
        key += '-';
        return;
    }
    std::string escaped;
    escaped.reserve(field->size());
    for (char c : *field) {
        if (c == '\\')
            escaped += "\\\\";
        else if (c == '\n')
            escaped += "\\n";
        else
            escaped += c;
    }
    key += std::to_string(escaped.size());
    key += ':';
    key += escaped;
}

// A place as the log names it.
std::string placeForLog(const platform::RemindersPlace& place) {
    switch (place.kind) {
    case platform::RemindersPlace::Kind::evolutionDataServer:
        return "Evolution Data Server";
    case platform::RemindersPlace::Kind::taskListFolder:
        return "vdir " + place.location;
    case platform::RemindersPlace::Kind::calDavServer:
        return "CalDAV " + place.location + " as " + place.account;
    case platform::RemindersPlace::Kind::eventKit:
        break;
    }
    return "EventKit";
}

} // namespace

std::string deliveryKey(std::string_view apiBase, const RelayItem& item) {
    std::string key = "tavrelin-delivery/2";
    appendKeyField(key, std::string(apiBase));
    appendKeyField(key, item.id);
    appendKeyField(key, item.title);
    appendKeyField(key, item.notes);
    appendKeyField(key, item.dueIso);
    appendKeyField(key, std::string(item.allDay ? "1" : "0"));
    appendKeyField(key, item.list);
    return key;
}

std::string earlierDeliveryKey(std::string_view apiBase, const RelayItem& item) {
    return hostOfPairing(apiBase) + "\n" + item.id;
}

RemindersModule::RemindersModule(platform::MainLoop& mainLoop, const platform::Clock& clock, platform::Http& http,
                                 const AppInfo& appInfo, platform::RemindersDatabase& reminders, SyncState& state)
    : mainLoop_(mainLoop), clock_(clock), http_(http), appInfo_(appInfo), store_(reminders, clock), place_(reminders.place()),
      state_(state) {}

RemindersModule::~RemindersModule() = default;

std::string RemindersModule::title() const {
    return words::module::title(place_);
}

void RemindersModule::start(const Pairing& pairing) {
    client_ = std::make_shared<const RelayClient>(pairing, http_, appInfo_);
    ++generation_;
    state_.setPaired(pairing);
    consecutiveFailures_ = 0;
    nextAttemptAt_.reset();
    state_.beginAttempt();

    timer_.reset();
    std::weak_ptr<RemindersModule> weak = weak_from_this();
    timer_ = mainLoop_.repeating(interval, [weak] {
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
    if (!client_ || inFlight_ || makingList_)
        return;
    if (!force && nextAttemptAt_ && clock_.now() < *nextAttemptAt_)
        return;
    inFlight_ = true;
    state_.beginAttempt();

    std::weak_ptr<RemindersModule> weak = weak_from_this();
    mainLoop_.background(platform::Priority::normal, [weak, client = client_, generation = generation_] {
        auto self = weak.lock();
        if (!self)
            return;
        PollOutcome outcome = self->runPoll(*client);
        // One block for the outcome and the end of the poll, so nobody sees
        // inFlight false before the outcome. The module's reference goes back
        // with it: should this be the last one, the module dies on the main thread.
        platform::MainLoop& loop = self->mainLoop_;
        loop.onMain([self = std::move(self), outcome = std::move(outcome), generation]() mutable {
            self->finishPoll(outcome, generation);
            self.reset();
        });
    });
}

PollOutcome RemindersModule::runPoll(const RelayClient& client) {
    auto failed = [](RelayError error) { return PollOutcome{PollOutcome::Failed{std::move(error)}}; };

    const RemindersStore::Access access = store_.requestAccess();
    if (std::holds_alternative<RemindersStore::Access::Denied>(access.answer)) {
        const bool signIn = store_.place().signsIn();
        Log::warn(signIn ? "reminders access denied: the server needs another sign-in" : "reminders access denied");
        return {PollOutcome::AccessDenied{signIn}};
    }
    if (const auto* failure = std::get_if<RemindersStore::Access::Failed>(&access.answer)) {
        Log::error("reminders access error");
        return {PollOutcome::AccessFailed{failure->reason}};
    }

    PollOutcome::Succeeded poll;
    std::vector<RelayItem> items;
    // Whatever the fetch throws is a transport failure: the backend was not
    // reached in a way the relay client could name.
    auto fetchFailed = [&](const RelayError& error) {
        Log::warn(std::string("poll failed: ") +
                  (error.kind() == RelayError::Kind::unauthorized ? "unauthorized" : "transport"));
        return failed(error);
    };
    try {
        items = client.fetchPending();
    } catch (const RelayError& error) {
        return fetchFailed(error);
    } catch (const std::exception& error) {
        return fetchFailed(RelayError::transport(error.what()));
    } catch (...) {
        return fetchFailed(RelayError::transport(words::unknownError()));
    }
    poll.fetched = static_cast<std::int64_t>(items.size());

    // An item delivered again, after a lost acknowledgement or a crash, finds
    // the reminder filed under its key and is not written twice; another item
    // under a reused id has another key.
    const std::string& apiBase = client.pairing().apiBase;
    std::vector<std::string> delivered;
    for (const auto& item : items) {
        using Result = RemindersStore::WriteResult;
        const Result result = store_.create(item.title, item.notes, item.dueIso, item.allDay, item.list,
                                            deliveryKey(apiBase, item), earlierDeliveryKey(apiBase, item));
        std::visit(Overloaded{
                       [&](const Result::Saved& saved) {
                           delivered.push_back(item.id);
                           Log::info("delivered " + item.id + " -> list " + saved.listTitle);
                       },
                       [&](const Result::UnknownList& unknown) {
                           poll.refusals.emplace_back(unknown.name);
                           Log::warn("refused " + item.id + ": unknown list");
                       },
                       [&](const Result::NoList&) {
                           poll.refusals.emplace_back(std::nullopt);
                           Log::warn("refused " + item.id + ": no list specified");
                       },
                       [&](const Result::Failed& failure) {
                           poll.writeFailures.push_back(failure.message);
                           Log::error("failed " + item.id + ": " + failure.message);
                       },
                   },
                   result.outcome);
    }

    // The list names also make this poll's writes durable: a failure here is
    // the task lists', and nothing may be acknowledged.
    auto listsFailed = [&](const std::string& reason) {
        // A server that refused the password partway: signing in again is the
        // way back, not polls that fail and back off meanwhile.
        if (store_.place().signsIn() && std::holds_alternative<RemindersStore::Access::Denied>(store_.requestAccess().answer)) {
            Log::warn("reminders access denied: the server needs another sign-in; nothing acknowledged");
            return PollOutcome{PollOutcome::AccessDenied{true}};
        }
        Log::error("task lists failed after " + std::to_string(delivered.size()) + " writes: " + reason +
                   "; nothing acknowledged");
        return PollOutcome{PollOutcome::ListsFailed{reason}};
    };
    try {
        poll.lists = store_.listNames();
    } catch (const std::exception& error) {
        return listsFailed(error.what());
    } catch (...) {
        return listsFailed(words::unknownError());
    }

    auto ackFailed = [&](const RelayError& error) {
        Log::warn("ack failed after " + std::to_string(delivered.size()) + " writes; items may be redelivered");
        return failed(error);
    };
    try {
        client.ack(delivered, poll.lists);
    } catch (const RelayError& error) {
        return ackFailed(error);
    } catch (const std::exception& error) {
        return ackFailed(RelayError::transport(error.what()));
    } catch (...) {
        return ackFailed(RelayError::transport(words::unknownError()));
    }
    poll.delivered = static_cast<std::int64_t>(delivered.size());
    return {std::move(poll)};
}

void RemindersModule::finishPoll(const PollOutcome& outcome, std::uint64_t generation) {
    // A poll is not cancelled by stop() or a restart, but once either has
    // happened its outcome no longer describes the current pairing: it is
    // dropped, so a stopped module stays "not paired". A restart's first tick
    // found this poll running: it polls now, so its "Checking…" is true.
    if (generation != generation_) {
        inFlight_ = false;
        if (client_)
            tick(false);
        return;
    }
    if (std::holds_alternative<PollOutcome::Succeeded>(outcome.value)) {
        consecutiveFailures_ = 0;
        nextAttemptAt_.reset();
    }
    state_.record(outcome);
    // A poll that acknowledged nothing comes back whole: it backs off,
    // whichever side failed.
    if (std::holds_alternative<PollOutcome::Failed>(outcome.value) ||
        std::holds_alternative<PollOutcome::ListsFailed>(outcome.value))
        backOff();
    inFlight_ = false;
    runWaitingWork();
}

void RemindersModule::usePlace(platform::RemindersDatabase& database) {
    nextDatabase_ = &database;
    runWaitingWork();
}

void RemindersModule::createList(const std::string& name, ListDone done) {
    listRequests_.push_back({name, std::move(done)});
    runWaitingWork();
}

void RemindersModule::runWaitingWork() {
    if (inFlight_ || makingList_)
        return;
    if (nextDatabase_) {
        store_.useDatabase(*std::exchange(nextDatabase_, nullptr));
        place_ = store_.place();
        Log::info("reminders backend: now " + placeForLog(place_));
        pollAfterwards_ = true;
    }
    if (!listRequests_.empty()) {
        makingList_ = true;
        std::weak_ptr<RemindersModule> weak = weak_from_this();
        mainLoop_.background(platform::Priority::normal, [weak, name = listRequests_.front().name] {
            auto self = weak.lock();
            if (!self)
                return;
            std::optional<std::string> problem;
            try {
                self->store_.createList(name);
            } catch (const std::exception& error) {
                problem = error.what();
            } catch (...) {
                problem = words::unknownError();
            }
            platform::MainLoop& loop = self->mainLoop_;
            loop.onMain([self = std::move(self), problem = std::move(problem)]() mutable {
                self->finishList(problem);
                self.reset();
            });
        });
        return;
    }
    if (std::exchange(pollAfterwards_, false))
        tick(true);
}

void RemindersModule::finishList(const std::optional<std::string>& problem) {
    ListRequest request = std::move(listRequests_.front());
    listRequests_.pop_front();
    makingList_ = false;
    if (problem) {
        Log::error("could not create list " + request.name + ": " + *problem);
    } else {
        Log::info("created list " + request.name);
        pollAfterwards_ = true;
    }
    // The poll is under way before anyone reads about a failure.
    runWaitingWork();
    if (request.done)
        request.done(problem);
}

void RemindersModule::backOff() {
    std::int64_t n = ++consecutiveFailures_;
    double delay = std::min(interval * std::pow(2.0, static_cast<double>(std::min<std::int64_t>(n, 6) - 1)), maxBackoff);
    nextAttemptAt_ = clock_.now() + delay;
    Log::info("backing off " + std::to_string(static_cast<std::int64_t>(delay)) + "s after " + std::to_string(n) +
              " consecutive failures");
}

std::vector<MenuItem> RemindersModule::menuItems() const {
    std::vector<MenuItem> items;
    auto line = [&items](std::string id, std::string title) {
        MenuItem item;
        item.id = std::move(id);
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

    std::weak_ptr<const RemindersModule> weak = weak_from_this();
    auto offer = [&items, &weak](std::string id, std::string title, std::function<void(const RemindersModule&)> act) {
        MenuItem item;
        item.id = std::move(id);
        item.title = std::move(title);
        item.enabled = true;
        item.action = [weak, act = std::move(act)] {
            if (auto self = weak.lock())
                act(*self);
        };
        items.push_back(std::move(item));
    };

    if (availablePlaces)
        line("place", words::places::current(place_));
    const auto n = state_.deliveredThisSession();
    if (n > 0)
        line("filed", words::module::filed(n));
    for (const auto& [name, count] : sorted(state_.refusedByList())) {
        line("refused/" + name, words::module::noListNamed(count, name));
        if (onCreateList) {
            // Under the line it answers.
            offer("create/" + name, words::places::createList(name), [name = name](const RemindersModule& self) {
                if (self.onCreateList)
                    self.onCreateList(name);
            });
            items.back().indentation = 1;
        }
    }
    if (state_.refusedWithNoList() > 0)
        line("noList", words::module::noListChosen(state_.refusedWithNoList()));
    for (const auto& [message, count] : sorted(state_.failedWrites()))
        line("failed/" + message, words::module::notSaved(count, message));
    if (!state_.knownLists().empty()) {
        MenuItem lists;
        lists.id = "lists";
        lists.title = words::module::lists();
        lists.enabled = true;            // so its submenu opens
        std::map<std::string, int> seen; // two lists may share a name
        for (const auto& name : state_.knownLists()) {
            MenuItem entry;
            const int repeat = seen[name]++;
            entry.id = repeat ? name + "#" + std::to_string(repeat + 1) : name;
            entry.title = name;
            lists.submenu.push_back(std::move(entry));
        }
        items.push_back(std::move(lists));
    }
    if (availablePlaces && onUsePlace)
        for (const auto& other : availablePlaces())
            if (other.kind != place_.kind)
                offer("use/" + std::to_string(static_cast<int>(other.kind)), words::places::useInstead(other),
                      [other](const RemindersModule& self) {
                          if (self.onUsePlace)
                              self.onUsePlace(other);
                      });
    if (onSetUpAccount) {
        if (auto busy = signingIn ? signingIn() : std::nullopt)
            line("account", words::account::signingIn(*busy));
        else
            offer("account", words::account::setUp(place_.signsIn()), [](const RemindersModule& self) {
                if (self.onSetUpAccount)
                    self.onSetUpAccount();
            });
    }
    return items;
}

} // namespace tavrelin
