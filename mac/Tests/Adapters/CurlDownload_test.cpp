// The curl adapter's redirect rule, low-speed limit and streamed downloads,
// against a cpp-httplib server on 127.0.0.1.

#include "Platform/Curl/CurlHttp.h"
#include "Platform/Files.h"
#include "Platform/Posix/Sha256.h"
#include "Support/TempFolder.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <array>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

using namespace tavrelin;
using namespace std::chrono_literals;
using platform::HttpSessionConfig;
using namespace tavrelin::testing;
namespace fs = std::filesystem;

namespace {

// Deterministic bytes, one block at a time and without allocating, so that
// neither end holds them whole: one pattern, each block numbered at its start.
constexpr std::size_t blockSize = 64 * 1024;
void fillBlock(std::size_t index, std::array<char, blockSize>& bytes) {
    for (std::size_t i = 0; i < blockSize; ++i)
        bytes[i] = static_cast<char>(i * 7 % 251);
    std::memcpy(bytes.data(), &index, sizeof index);
}

struct Server {
    httplib::Server server;
    std::string base = "http://127.0.0.1:";
    std::mutex mutex;
    std::map<std::string, int> hits; // requests by path
    std::atomic<bool> stopping{false};
    std::jthread thread;

    Server() {
        server.set_logger([this](const httplib::Request& request, const httplib::Response&) {
            std::lock_guard lock(mutex);
            ++hits[request.path];
        });
        const int port = server.bind_to_any_port("127.0.0.1");
        base += std::to_string(port);
        // A name for the same server that is another host to a redirect rule.
        elsewhere = "http://localhost:" + std::to_string(port);
        thread = std::jthread([this] { server.listen_after_bind(); });
        for (int i = 0; i < 5000 && !server.is_running(); ++i)
            std::this_thread::sleep_for(1ms);
        if (!server.is_running())
            ADD_FAILURE() << "the test server did not start within 5 s";
    }
    ~Server() {
        stopping = true;
        server.stop();
    }
    int hitsOf(const std::string& path) {
        std::lock_guard lock(mutex);
        return hits[path];
    }
    std::string elsewhere;
};

} // namespace

// The logic decides whether a redirect is followed; curl asks before every hop.
TEST(CurlSession, FollowsOnlyTheRedirectsTheRuleAllows) {
    Server s;
    s.server.Get("/same", [](const auto&, auto& response) { response.set_redirect("/file"); });
    s.server.Get("/away", [&s](const auto&, auto& response) { response.set_redirect(s.elsewhere + "/file"); });
    s.server.Get("/file", [](const auto&, auto& response) { response.set_content("the file", "application/octet-stream"); });
    HttpSessionConfig config;
    config.allowRedirect = [&s](const std::string& from, const std::string& to) {
        return from.starts_with(s.base) && to.starts_with(s.base);
    };
    curl::CurlHttp http;
    auto session = http.makeSession(config);
    TempFolder dir;

    EXPECT_EQ(session->perform({"GET", s.base + "/same", {}, {}}).body, "the file");
    auto got = session->download({"GET", s.base + "/same", {}, {}}, dir / "same");
    EXPECT_EQ(std::tuple(got.status, got.bytes, got.sha256), std::tuple(200L, 8ull, posix::sha256Hex("the file")));
    EXPECT_EQ(readFile(dir / "same"), "the file");

    for (const bool toFile : {false, true}) {
        try {
            if (toFile)
                session->download({"GET", s.base + "/away", {}, {}}, dir / "away");
            else
                session->perform({"GET", s.base + "/away", {}, {}});
            ADD_FAILURE() << "a redirect to another host was followed";
        } catch (const platform::HttpRedirectRefused& refused) {
            EXPECT_EQ(refused.target(), s.elsewhere + "/file");
        }
    }
    EXPECT_EQ(s.hitsOf("/file"), 2) << "the refused target must never be asked";
    EXPECT_FALSE(fs::exists(dir / "away")) << "a refused download leaves no file";
}

TEST(CurlSession, NeverFollowsHttpsDownToPlainHttpByDefault) {
    const std::tuple<const char*, const char*, bool> rows[] = {
        {"https://relay.example/a", "http://relay.example/b", false},
        {"https://relay.example/a", "http://localhost:8080/b", false},
        {"HTTPS://relay.example/a", "HTTP://127.0.0.1/b", false},
        {"https://relay.example/a", "https://cdn.example/b", true},
        {"http://localhost:8080/a", "http://localhost:8081/b", true},
        {"http://localhost:8080/a", "https://relay.example/b", true},
    };
    for (const auto& [from, to, followed] : rows)
        EXPECT_EQ(HttpSessionConfig{}.allowRedirect(from, to), followed) << from << " -> " << to;
}

// A server that sends a few bytes now and then keeps the silence limit from
// firing; the low-speed limit ends it.
TEST(CurlSession, ATransferThatCrawlsEnds) {
    Server s;
    s.server.Get("/drip", [&s](const auto&, auto& response) {
        response.set_chunked_content_provider("application/octet-stream", [&s](std::size_t, httplib::DataSink& sink) {
            std::this_thread::sleep_for(100ms); // about 100 bytes a second
            return !s.stopping && sink.is_writable() && sink.write("0123456789", 10);
        });
    });
    curl::CurlHttp http;
    TempFolder dir;
    // Limits, how the exchange must end. The whole-exchange limit is a
    // backstop, and shows that a limit below the drip's rate lets it run.
    const std::tuple<std::size_t, double, const char*> rows[] = {
        {1000, 15, "too slow"},
        {10, 2, "took longer than 2 s"},
    };
    for (const auto& [bytesPerSecond, resource, ending] : rows) {
        HttpSessionConfig config{5, resource, 1024 * 1024};
        config.lowSpeedBytesPerSecond = bytesPerSecond;
        config.lowSpeedTime = 1;
        auto session = http.makeSession(config);
        // Downloads and plain exchanges alike; the backstop once is enough.
        for (const bool toFile : std::string_view(ending) == "too slow" ? std::vector{false, true} : std::vector{false}) {
            try {
                if (toFile)
                    session->download({"GET", s.base + "/drip", {}, {}}, dir / "drip");
                else
                    session->perform({"GET", s.base + "/drip", {}, {}});
                ADD_FAILURE() << "the drip completed";
            } catch (const platform::HttpTransportError& error) {
                EXPECT_NE(std::string(error.what()).find(ending), std::string::npos) << error.what();
            }
            EXPECT_FALSE(fs::exists(dir / "drip"));
        }
    }
}

// The whole body reaches the file and its digest, while the process's peak
// memory grows far less than the body.
TEST(CurlSession, DownloadsStreamToTheFile) {
    constexpr std::size_t blocks = 768; // 48 MiB
    Server s;
    s.server.Get("/big", [](const auto&, auto& response) {
        response.set_content_provider(blocks * blockSize, "application/octet-stream",
                                      [](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                          static thread_local std::array<char, blockSize> bytes;
                                          fillBlock(offset / blockSize, bytes);
                                          return sink.write(bytes.data() + offset % blockSize, blockSize - offset % blockSize);
                                      });
    });
    s.server.Get("/missing", [](const auto&, auto& response) {
        response.status = 404;
        response.set_content("not here", "text/plain");
    });
    posix::Sha256 expected;
    for (std::size_t i = 0; i < blocks; ++i) {
        std::array<char, blockSize> bytes;
        fillBlock(i, bytes);
        expected.update(std::string_view(bytes.data(), bytes.size()));
    }

    curl::CurlHttp http;
    TempFolder dir;
    // The process's resident memory now ("VmRSS:") or at its peak ("VmHWM:"), in KiB.
    auto memoryKiB = [](const std::string& field) {
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);)
            if (line.starts_with(field))
                return std::stol(line.substr(field.size()));
        return 0L;
    };
    // Start the peak afresh from here.
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = memoryKiB("VmRSS:");

    auto session = http.makeSession({20, 60, blocks * blockSize});
    auto got = session->download({"GET", s.base + "/big", {}, {}}, dir / "big");
    EXPECT_EQ(got.status, 200);
    EXPECT_EQ(got.bytes, blocks * blockSize);
    EXPECT_EQ(fs::file_size(dir / "big"), blocks * blockSize);
    EXPECT_EQ(got.sha256, expected.hexDigest());
    EXPECT_LT(memoryKiB("VmHWM:") - before, 16 * 1024)
        << "the download grew the process by about its size (peak " << memoryKiB("VmHWM:") << " KiB from " << before << " KiB)";

    // A body over the cap, and one that is not the download, leave no file.
    auto capped = http.makeSession({20, 60, 10 * blockSize})->download({"GET", s.base + "/big", {}, {}}, dir / "capped");
    EXPECT_TRUE(capped.bodyTooLarge);
    auto missing = session->download({"GET", s.base + "/missing", {}, {}}, dir / "missing");
    EXPECT_EQ(std::pair(missing.status, missing.bytes), std::pair(404L, std::uint64_t{0}));
    EXPECT_FALSE(fs::exists(dir / "capped") || fs::exists(dir / "missing"));
    // A file that cannot be made is a file error, not a transport one.
    EXPECT_THROW(session->download({"GET", s.base + "/big", {}, {}}, dir / "no/such/folder"), platform::FileError);
}
