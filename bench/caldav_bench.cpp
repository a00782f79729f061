// caldav_bench [items] [runs] [radicale|xandikos]: one poll's work filing
// `items` (100) reminders into a task list on a CalDAV server on loopback
// (Radicale unless told): access, the lists, one PUT and read-back GET per
// item, the lists again, through the CalDAV database as the agent runs it.
//
// Beside it, in the same run and against the same server, the server's own
// rate for the same PUTs (same bodies, same headers, into a list of their
// own) made with libcurl on one kept-alive handle and nothing else. Prints
// both rates, their ratio and what the database sent. Each figure is the
// median of `runs` (5), the two taken in turns.

#include "Platform/CalDav/CalDavRemindersDatabase.h"
#include "Platform/Curl/CurlHttp.h"
#include "Platform/Ical/Todo.h"
#include "Platform/Posix/DeliveryUid.h"
#include "Platform/Posix/SystemClock.h"
#include "Support/CalDavServer.h"
#include "TavrelinMac/RemindersStore.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <variant>

using namespace tavrelin;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* user = "bench";
constexpr const char* password = "bench-password";

class MemorySecrets final : public platform::Secrets {
public:
    std::optional<std::string> lookup(const platform::SecretKey&, Prompt) override { return secret; }
    void store(const platform::SecretKey&, const std::string&, const std::string& value) override { secret = value; }
    bool remove(const platform::SecretKey&) override { return std::exchange(secret, std::nullopt).has_value(); }
    std::optional<std::string> secret;
};

struct Item {
    std::string id, title;
    std::optional<std::string> notes, dueIso;
    bool allDay;
};

std::vector<Item> makeItems(int count) {
    std::vector<Item> items;
    for (int i = 0; i < count; ++i) {
        const std::string id = "bench-" + std::to_string(i);
        if (i % 2)
            items.push_back({id, "Call back about order " + std::to_string(i), "Reference " + id + "\nSecond line of notes",
                             "2026-12-07T14:30:00Z", false});
        else
            items.push_back({id, "Pay invoice " + std::to_string(i), std::nullopt, "2026-12-08", true});
    }
    return items;
}

double milliseconds(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::string key(const std::string& run, const Item& item) {
    return "bench." + run + "\n" + item.id;
}

// The agent's poll into the list titled `title`; milliseconds.
double agentPoll(caldav::CalDavRemindersDatabase& database, const std::string& title, const std::string& run,
                 const std::vector<Item>& items) {
    posix::SystemClock clock;
    RemindersStore store(database, clock);
    const auto start = Clock::now();
    if (store.requestAccess() != RemindersStore::Access::granted())
        throw std::runtime_error("no access to the CalDAV server");
    for (const Item& item : items) {
        const auto result = store.create(item.title, item.notes, item.dueIso, item.allDay, title, key(run, item), {});
        if (const auto* failed = std::get_if<RemindersStore::WriteResult::Failed>(&result.outcome))
            throw std::runtime_error("could not file " + item.id + ": " + failed->message);
        if (!std::holds_alternative<RemindersStore::WriteResult::Saved>(result.outcome))
            throw std::runtime_error("could not file " + item.id + ": no such list");
    }
    store.listNames();
    return milliseconds(Clock::now() - start);
}

// The same PUTs with libcurl alone, on one handle; milliseconds.
double curlPuts(const std::string& collection, const std::string& run, const std::vector<Item>& items) {
    posix::SystemClock clock;
    std::vector<std::pair<std::string, std::string>> requests;
    for (const Item& item : items) {
        platform::NewReminder reminder;
        reminder.title = item.title;
        reminder.notes = item.notes;
        if (auto due = RemindersStore::dueComponents(*item.dueIso, item.allDay)) {
            reminder.due = due;
            if (!item.allDay)
                reminder.alarm = clock.localDate(*due);
        }
        const std::string uid = posix::deliveryUid(key(run, item));
        requests.emplace_back(collection + uid + ".ics", ical::calendarText(reminder, uid, clock.now()));
    }
    CURL* easy = curl_easy_init();
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, "Content-Type: text/calendar; charset=utf-8");
    headers = curl_slist_append(headers, "If-None-Match: *");
    headers = curl_slist_append(headers, "Expect:");
    const auto start = Clock::now();
    for (const auto& [url, body] : requests) {
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, "PUT");
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(easy, CURLOPT_USERPWD, (std::string(user) + ":" + password).c_str());
        curl_easy_setopt(
            easy, CURLOPT_WRITEFUNCTION, +[](char*, size_t size, size_t count, void*) { return size * count; });
        long status = 0;
        if (curl_easy_perform(easy) != CURLE_OK || curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK ||
            status != 201)
            throw std::runtime_error("PUT " + url + " answered " + std::to_string(status));
    }
    const double elapsed = milliseconds(Clock::now() - start);
    curl_slist_free_all(headers);
    curl_easy_cleanup(easy);
    return elapsed;
}

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const auto kind = argc > 3 && std::string(argv[3]) == "xandikos" ? testing::CalDavServerKind::xandikos
                                                                     : testing::CalDavServerKind::radicale;
    try {
        curl::CurlHttp curl; // also sets up libcurl for the raw PUTs
        testing::TempFolder folder;
        testing::CalDavServer server(kind, folder / "server", user, password, curl);
        testing::RecordingHttp http(curl);
        MemorySecrets secrets;
        auto database = caldav::makeCalDavRemindersDatabase(server.address(), user, http, secrets);
        if (database->signIn(password).kind != caldav::CalDavRemindersDatabase::SignInResult::Kind::signedIn)
            throw std::runtime_error("could not sign in:\n" + server.output());
        const std::vector<Item> items = makeItems(count);

        std::vector<double> agent, raw;
        std::size_t puts = 0, gets = 0, propfinds = 0;
        for (int run = 0; run < runs; ++run) {
            const std::string name = std::to_string(run);
            server.makeList("agent-" + name, "Agent " + name);
            const std::string rawList = server.makeList("raw-" + name, "Raw " + name);
            auto agentRun = [&] {
                http.clear();
                agent.push_back(agentPoll(*database, "Agent " + name, "agent" + name, items));
                puts = http.count("PUT"), gets = http.count("GET"), propfinds = http.count("PROPFIND");
            };
            auto rawRun = [&] { raw.push_back(curlPuts(server.address() + rawList.substr(1), "raw" + name, items)); };
            if (run % 2) {
                rawRun();
                agentRun();
            } else {
                agentRun();
                rawRun();
            }
        }

        const double agentMs = median(agent), rawMs = median(raw);
        const double agentRate = count * 1000.0 / agentMs, rawRate = count * 1000.0 / rawMs;
        std::printf("CalDAV poll of %d items into %s on loopback, median of %d runs\n", count,
                    testing::serverName(kind).c_str(), runs);
        std::printf("  agent poll (access, lists, PUT + read-back GET per item, lists): %8.1f ms  %7.1f items/s\n", agentMs,
                    agentRate);
        std::printf("  the same PUTs with libcurl on one handle:                        %8.1f ms  %7.1f items/s\n", rawMs,
                    rawRate);
        std::printf("  ratio (agent / raw rate): %.2f\n", agentRate / rawRate);
        std::printf("  the agent's requests in its last poll: %zu PUT, %zu GET, %zu PROPFIND\n", puts, gets, propfinds);
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "caldav_bench: " << error.what() << "\n";
        return 1;
    }
}
