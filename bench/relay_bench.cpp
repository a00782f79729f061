// One poll (fetch + acknowledgement) against the development relay, with 0,
// 100 and 10,000 pending items: time per poll, peak memory, and how many
// connections 20 polls open.
//   relay_bench [path to dev-relay]
// Without an argument the relay is looked for at ../tools/dev-relay beside
// this program (the build folder layout) or in $TAVRELIN_DEV_RELAY.

#include "Platform/Curl/CurlHttp.h"
#include "TavrelinMac/RelayClient.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using namespace tavrelin;
using nlohmann::json;

struct BenchBundle final : platform::Bundle {
    std::string path() const override { return "/"; }
    bool stillAtPath() const override { return true; }
    std::optional<std::string> identifier() const override { return "com.tavrelin.mac"; }
    std::optional<std::string> infoString(const std::string&) const override { return "bench"; }
    platform::OperatingSystemVersion operatingSystemVersion() const override { return {}; }
    std::string homeDirectory() const override { return "/"; }
};

struct Relay {
    pid_t pid = -1;
    std::string token, api;
};

Relay startRelay(const std::string& program) {
    int out[2];
    if (pipe(out) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<std::string> args{program, "--port", "0", "--host", "127.0.0.1"};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    Relay relay;
    if (posix_spawn(&relay.pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        std::cerr << "could not start " << program << "\n";
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n')
        line.push_back(c);
    close(out[0]);
    // tavrelin://pair?token=…&api=…
    const auto tokenAt = line.find("token="), apiAt = line.find("&api=");
    if (tokenAt == std::string::npos || apiAt == std::string::npos) {
        std::cerr << "unexpected first line from the relay\n";
        std::exit(1);
    }
    relay.token = line.substr(tokenAt + 6, apiAt - tokenAt - 6);
    relay.api = line.substr(apiAt + 5);
    return relay;
}

long highWaterKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (status >> key) {
        if (key == "VmHWM:") {
            long kib = 0;
            status >> kib;
            return kib;
        }
        status.ignore(1 << 10, '\n');
    }
    return -1;
}

long ownPeakKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

json devCall(platform::HttpSession& session, const std::string& method, const std::string& url, const std::string& body = {}) {
    auto response = session.perform({method, url, {{"Content-Type", "application/json"}}, body});
    if (response.status != 200) {
        std::cerr << method << " " << url << " answered " << response.status << "\n";
        std::exit(1);
    }
    return json::parse(response.body);
}

std::string itemsBody(int count) {
    json items = json::array();
    for (int i = 0; i < count; ++i)
        items.push_back(json{{"title", "Reminder number " + std::to_string(i) + " from the browser"},
                             {"notes", "https://example.com/some/page/" + std::to_string(i)},
                             {"dueIso", "2026-12-07T09:30"},
                             {"allDay", false},
                             {"list", i % 2 ? "Work" : "Home"}});
    return items.dump();
}

} // namespace

int main(int argc, char** argv) {
    std::string program;
    if (argc > 1)
        program = argv[1];
    else if (const char* env = std::getenv("TAVRELIN_DEV_RELAY"))
        program = env;
    else
        program = (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "../tools/dev-relay").lexically_normal();
    if (!std::filesystem::exists(program)) {
        std::cerr << "dev-relay not found at " << program << "\n";
        return 1;
    }

    Relay relay = startRelay(program);
    curl::CurlHttp http;
    BenchBundle bundle;
    AppInfo appInfo(bundle);
    auto dev = http.makeSession({});
    const std::vector<std::string> lists{"Home", "Work", "Groceries"};
    constexpr int polls = 20;

    std::printf("%8s %12s %12s %12s %16s %16s %14s\n", "items", "median ms", "min ms", "max ms", "bench peak KiB",
                "relay peak KiB", "connections");
    for (int count : {0, 100, 10000}) {
        devCall(*dev, "POST", relay.api + "/dev/reset");
        const std::string body = itemsBody(count);
        RelayClient client(Pairing{relay.api, relay.token, {}}, http, appInfo);
        std::vector<double> times;
        for (int poll = 0; poll < polls; ++poll) {
            if (count > 0)
                devCall(*dev, "POST", relay.api + "/dev/enqueue", body);
            const auto start = std::chrono::steady_clock::now();
            auto items = client.fetchPending();
            std::vector<std::string> ids;
            ids.reserve(items.size());
            for (const auto& item : items)
                ids.push_back(item.id);
            client.ack(ids, lists);
            times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
            if (static_cast<int>(items.size()) != count) {
                std::cerr << "fetched " << items.size() << " items, expected " << count << "\n";
                return 1;
            }
        }
        const json stats = devCall(*dev, "GET", relay.api + "/dev/stats");
        if (stats["pending"][0] != 0) {
            std::cerr << "items left in the queue after acknowledging\n";
            return 1;
        }
        std::sort(times.begin(), times.end());
        std::printf("%8d %12.2f %12.2f %12.2f %16ld %16ld %14d\n", count, times[times.size() / 2], times.front(), times.back(),
                    ownPeakKiB(), highWaterKiB(relay.pid), stats["relayConnections"].get<int>());
    }
    std::printf("(%d polls per row; connections: distinct connections that carried device requests; peaks are "
                "high-water marks since start)\n",
                polls);
    kill(relay.pid, SIGTERM);
    int status = 0;
    waitpid(relay.pid, &status, 0);
    return 0;
}
