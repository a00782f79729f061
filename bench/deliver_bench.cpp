// deliver_bench [items] [runs]: one poll's work delivering `items` (1000)
// from the development relay into a vdir in a temporary folder: access, fetch,
// one reminder write (with read-back) per item, list names, acknowledgement.
//
// Beside it, in the same run and the same folder, the raw durable-file rate:
// a plain loop of write + fsync + rename + folder fsync of files of the same
// size. Prints both, their ratio, the agent's CPU per item, the same poll with
// a writer that does not flush (what flushing costs), and peak memory.
//
// Needs build/tools/dev-relay; the build folder is taken from
// $TAVRELIN_BUILD_DIR, else the folder above this program's. The vdir goes
// under $TMPDIR (else /tmp): point it at the disk you want to measure.

#include "../mac/Tests/Support/DevRelayProcess.h"
#include "Platform/Curl/CurlHttp.h"
#include "Platform/Posix/PosixBundle.h"
#include "Platform/Posix/PosixFiles.h"
#include "Platform/Posix/SystemClock.h"
#include "Platform/Vdir/VdirRemindersDatabase.h"
#include "TavrelinMac/AppInfo.h"
#include "TavrelinMac/RelayClient.h"
#include "TavrelinMac/RemindersModule.h"
#include "TavrelinMac/RemindersStore.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sys/resource.h>
#include <unistd.h>
#include <variant>

using namespace tavrelin;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// The POSIX files adapter, except that writes are renamed into place without
// being flushed to disk: the difference to the real writer is the flushing.
class UnflushedFiles final : public platform::Files {
public:
    std::string applicationSupportDirectory() const override { return real_.applicationSupportDirectory(); }
    std::string cachesDirectory() const override { return real_.cachesDirectory(); }
    void createDirectories(const std::string& path) override { real_.createDirectories(path); }
    void syncFolder(const std::string&) override {}
    void syncTree(const std::string&) override {}
    void writeAtomically(const std::string& path, std::string_view bytes, std::optional<unsigned>, FolderSync) override {
        std::string temporary = path + ".tmp";
        {
            std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            if (!out.flush())
                throw platform::FileError("could not write " + temporary);
        }
        fs::rename(temporary, path);
    }
    void setPermissions(const std::string& path, unsigned permissions) override { real_.setPermissions(path, permissions); }
    unsigned permissions(const std::string& path) const override { return real_.permissions(path); }
    std::optional<std::string> readRegularFile(const std::string& path, std::size_t maxBytes) const override {
        return real_.readRegularFile(path, maxBytes);
    }
    bool exists(const std::string& path) const override { return real_.exists(path); }
    platform::EntryKind kind(const std::string& path) const override { return real_.kind(path); }
    bool isWritableFolder(const std::string& path) const override { return real_.isWritableFolder(path); }
    void remove(const std::string& path) override { real_.remove(path); }
    void copy(const std::string& from, const std::string& to) override { real_.copy(from, to); }
    void rename(const std::string& from, const std::string& to) override { real_.rename(from, to); }
    bool renameFolderIfAbsent(const std::string& from, const std::string& to) override {
        return real_.renameFolderIfAbsent(from, to);
    }
    std::vector<std::string> list(const std::string& directory) const override { return real_.list(directory); }

private:
    posix::PosixFiles real_;
};

double milliseconds(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

long peakKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// User + system time of this process, in milliseconds.
double cpuMilliseconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto ms = [](timeval t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

struct Timing {
    double fetch = 0, writes = 0, ack = 0, cpu = 0;
    double total() const { return fetch + writes + ack; }
};

std::string temporaryRoot() {
    std::string base = (std::getenv("TMPDIR") && *std::getenv("TMPDIR")) ? std::getenv("TMPDIR") : "/tmp";
    std::string pattern = base + "/deliver-bench-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed under " + base);
    return pattern;
}

// Milliseconds for `count` files of `bytes` each, made durable one by one the
// way any careful writer does: write, fsync, rename, fsync of the folder.
double rawDurableWrites(const fs::path& folder, int count, std::size_t bytes) {
    fs::create_directories(folder);
    const std::string content(bytes, 'x');
    auto fail = [](const std::string& what) { throw std::runtime_error("raw write: " + what + " failed"); };
    auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        std::string name = (folder / ("raw-" + std::to_string(i))).string();
        int fd = ::open((name + ".tmp").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 || ::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()) || ::fsync(fd) != 0 ||
            ::close(fd) != 0)
            fail("write");
        if (::rename((name + ".tmp").c_str(), (name + ".ics").c_str()) != 0)
            fail("rename");
        int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0 || ::fsync(dir) != 0 || ::close(dir) != 0)
            fail("folder fsync");
    }
    return milliseconds(Clock::now() - start);
}

nlohmann::json makeItems(int count) {
    nlohmann::json items = nlohmann::json::array();
    for (int i = 0; i < count; ++i) {
        std::string id = "bench-" + std::to_string(i);
        if (i % 2)
            items.push_back({{"id", id},
                             {"title", "Call back about order " + std::to_string(i)},
                             {"notes", "Reference " + id + "\nSecond line of notes"},
                             {"dueIso", "2026-12-07T14:30:00Z"},
                             {"allDay", false},
                             {"list", "Home"}});
        else
            items.push_back({{"id", id},
                             {"title", "Pay invoice " + std::to_string(i)},
                             {"dueIso", "2026-12-08"},
                             {"allDay", true},
                             {"list", "Work"}});
    }
    return items;
}

// One poll into a fresh vdir under `root`; answers its timing and the mean
// size of the files it wrote.
Timing onePoll(testing::DevRelayProcess& relay, const std::string& token, platform::Http& http, const AppInfo& appInfo,
               platform::Files& files, const fs::path& root, int count, std::size_t* meanBytes = nullptr) {
    for (auto [folder, title] : {std::pair{"home", "Home"}, std::pair{"work", "Work"}}) {
        fs::create_directories(root / folder);
        std::ofstream(root / folder / "displayname") << title << "\n";
    }

    relay.post("/dev/reset", nlohmann::json::object());
    relay.post("/dev/enqueue", makeItems(count));

    posix::SystemClock clock;
    vdir::VdirRemindersDatabase database(root.string(), files);
    RemindersStore store(database, clock);
    Pairing pairing{relay.api(), token, clock.now()};
    RelayClient client(pairing, http, appInfo);

    Timing timing;
    const double cpuBefore = cpuMilliseconds();
    auto start = Clock::now();
    if (store.requestAccess() != RemindersStore::Access::granted())
        throw std::runtime_error("no access to " + root.string());
    auto items = client.fetchPending();
    auto fetched = Clock::now();
    std::vector<std::string> delivered;
    for (const auto& item : items) {
        auto result = store.create(item.title, item.notes, item.dueIso, item.allDay, item.list,
                                   deliveryKey(pairing.apiBase, item), earlierDeliveryKey(pairing.apiBase, item));
        if (const auto* failed = std::get_if<RemindersStore::WriteResult::Failed>(&result.outcome))
            throw std::runtime_error("could not deliver " + item.id + ": " + failed->message);
        if (!std::holds_alternative<RemindersStore::WriteResult::Saved>(result.outcome))
            throw std::runtime_error("could not deliver " + item.id + ": no such list");
        delivered.push_back(item.id);
    }
    auto written = Clock::now();
    client.ack(delivered, store.listNames());
    auto acknowledged = Clock::now();
    timing = {milliseconds(fetched - start), milliseconds(written - fetched), milliseconds(acknowledged - written),
              cpuMilliseconds() - cpuBefore};

    if (static_cast<int>(delivered.size()) != count || relay.get("/dev/stats").at("pending").at(0).get<int>() != 0)
        throw std::runtime_error("the poll did not deliver every item");
    if (meanBytes) {
        std::uintmax_t total = 0;
        for (const auto& entry : fs::recursive_directory_iterator(root))
            if (entry.path().extension() == ".ics")
                total += entry.file_size();
        *meanBytes = static_cast<std::size_t>(total / static_cast<std::uintmax_t>(count));
    }
    return timing;
}

template <typename T, typename Key> T median(std::vector<T> runs, Key key) {
    std::sort(runs.begin(), runs.end(), [&](const T& a, const T& b) { return key(a) < key(b); });
    return runs[runs.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    if (count <= 0 || runs <= 0) {
        std::cerr << "usage: deliver_bench [items] [runs]\n";
        return 2;
    }
    const char* buildVariable = std::getenv("TAVRELIN_BUILD_DIR");
    const fs::path build =
        buildVariable && *buildVariable ? fs::path(buildVariable) : fs::absolute(fs::path(argv[0])).parent_path().parent_path();

    try {
        const std::string token = "rk_deliverbench00001";
        curl::CurlHttp http;
        posix::PosixBundle bundle;
        AppInfo appInfo(bundle);
        testing::DevRelayProcess relay((build / "tools" / "dev-relay").string(), token, http);
        posix::PosixFiles flushed;
        UnflushedFiles unflushed;

        const long before = peakKiB();
        std::vector<Timing> withFlush, withoutFlush;
        std::vector<double> raw;
        for (int run = 0; run < runs; ++run) { // interleaved, so drift hits all alike
            const fs::path folder = temporaryRoot();
            std::size_t bytes = 0;
            withFlush.push_back(onePoll(relay, token, http, appInfo, flushed, folder / "calendars", count, &bytes));
            raw.push_back(rawDurableWrites(folder / "calendars" / "raw", count, bytes));
            withoutFlush.push_back(onePoll(relay, token, http, appInfo, unflushed, folder / "unflushed", count));
            fs::remove_all(folder);
        }
        const long peak = peakKiB();

        auto print = [count](const char* mode, const Timing& t) {
            std::printf("%-18s %9.0f %10.0f %9.1f %10.1f %8.1f %12.3f\n", mode, t.total(), count / (t.total() / 1000.0),
                        t.fetch, t.writes, t.ack, t.cpu / count);
        };
        Timing a = median(withFlush, [](const Timing& t) { return t.total(); });
        Timing b = median(withoutFlush, [](const Timing& t) { return t.total(); });
        double rawMs = median(raw, [](double ms) { return ms; });
        std::printf("one poll, %d items, median of %d runs\n", count, runs);
        std::printf("%-18s %9s %10s %9s %10s %8s %12s\n", "writer", "poll ms", "items/s", "fetch ms", "writes ms", "ack ms",
                    "cpu ms/item");
        print("flushed (fsync)", a);
        print("not flushed", b);
        std::printf("%-18s %9.0f %10.0f\n", "raw durable files", rawMs, count / (rawMs / 1000.0));
        std::printf("flushed poll / raw durable-file rate: %.2f\n", rawMs / a.total());
        std::printf("fsync share of the poll: %.0f%% (%.2f ms per item)\n", 100.0 * (a.total() - b.total()) / a.total(),
                    (a.total() - b.total()) / count);
        std::printf("peak memory (max RSS): %.1f MiB; %.1f MiB before the first poll\n", peak / 1024.0, before / 1024.0);
    } catch (const std::exception& error) {
        std::cerr << "deliver_bench: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
