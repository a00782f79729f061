// The curl adapter's redirect rule, low-speed limit and streamed downloads,
// against a cpp-httplib server on 127.0.0.1.

#include "Platform/Curl/CurlHttp.h"
#include "Platform/Files.h"
#include "Platform/Posix/Sha256.h"
#include "Support/LoopbackServer.h"
#include "Support/TempFolder.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace tavrelin;
using namespace std::chrono_literals;
using platform::HttpSessionConfig;
using namespace tavrelin::testing;
namespace fs = std::filesystem;

namespace {

// The same request as a download to `file` or as a plain exchange.
void fetch(platform::HttpSession& session, const std::string& url, bool toFile, const fs::path& file) {
    if (toFile)
        session.download({"GET", url, {}, {}}, file);
    else
        session.perform({"GET", url, {}, {}});
}

// Deterministic bytes, one block at a time and without allocating, so that
// neither end holds them whole: one pattern, each block numbered at its start.
constexpr std::size_t blockSize = 64 * 1024;
void fillBlock(std::size_t index, std::array<char, blockSize>& bytes) {
    for (std::size_t i = 0; i < blockSize; ++i)
        bytes[i] = static_cast<char>(i * 7 % 251);
    std::memcpy(bytes.data(), &index, sizeof index);
}

} // namespace

// The logic decides whether a redirect is followed; curl asks before every hop.
TEST(CurlSession, FollowsOnlyTheRedirectsTheRuleAllows) {
    std::atomic<int> fileRequests{0};
    LoopbackServer s{[&](httplib::Server& server) {
        server.Get("/same", [](const auto&, auto& response) { response.set_redirect("/file"); });
        // The same server under a name that is another host to a redirect rule.
        server.Get("/away", [](const auto& request, auto& response) {
            response.set_redirect("http://localhost:" + std::to_string(request.local_port) + "/file");
        });
        server.Get("/file", [&](const auto&, auto& response) {
            ++fileRequests;
            response.set_content("the file", "application/octet-stream");
        });
    }};
    HttpSessionConfig config;
    config.allowRedirect = [&s](const std::string& from, const std::string& to) {
        return from.starts_with(s.url()) && to.starts_with(s.url());
    };
    curl::CurlHttp http;
    auto session = http.makeSession(config);
    TempFolder dir;

    EXPECT_EQ(session->perform({"GET", s.url() + "/same", {}, {}}).body, "the file");
    auto got = session->download({"GET", s.url() + "/same", {}, {}}, dir / "same");
    EXPECT_EQ(std::tuple(got.status, got.bytes, got.sha256), std::tuple(200L, 8ull, posix::sha256Hex("the file")));
    EXPECT_EQ(readFile(dir / "same"), "the file");

    for (const bool toFile : {false, true}) {
        try {
            fetch(*session, s.url() + "/away", toFile, dir / "away");
            ADD_FAILURE() << "a redirect to another host was followed";
        } catch (const platform::HttpRedirectRefused& refused) {
            EXPECT_EQ(refused.target(), "http://localhost:" + s.url().substr(s.url().rfind(':') + 1) + "/file");
        }
    }
    EXPECT_EQ(fileRequests, 2) << "the refused target must never be asked";
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
    LoopbackServer s{[](httplib::Server& server) {
        server.Get("/drip", [](const auto&, auto& response) {
            response.set_chunked_content_provider("application/octet-stream", [](std::size_t, httplib::DataSink& sink) {
                std::this_thread::sleep_for(100ms); // about 100 bytes a second
                return sink.is_writable() && sink.write("0123456789", 10);
            });
        });
    }};
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
                fetch(*session, s.url() + "/drip", toFile, dir / "drip");
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
    LoopbackServer s{[](httplib::Server& server) {
        server.Get("/big", [](const auto&, auto& response) {
            response.set_content_provider(
                blocks * blockSize, "application/octet-stream", [](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                    static thread_local std::array<char, blockSize> bytes;
                    fillBlock(offset / blockSize, bytes);
                    return sink.write(bytes.data() + offset % blockSize, blockSize - offset % blockSize);
                });
        });
        server.Get("/missing", [](const auto&, auto& response) {
            response.status = 404;
            response.set_content("not here", "text/plain");
        });
    }};
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
    auto got = session->download({"GET", s.url() + "/big", {}, {}}, dir / "big");
    EXPECT_EQ(got.status, 200);
    EXPECT_EQ(got.bytes, blocks * blockSize);
    EXPECT_EQ(fs::file_size(dir / "big"), blocks * blockSize);
    EXPECT_EQ(got.sha256, expected.hexDigest());
    EXPECT_LT(memoryKiB("VmHWM:") - before, 16 * 1024)
        << "the download grew the process by about its size (peak " << memoryKiB("VmHWM:") << " KiB from " << before << " KiB)";

    // A body over the cap, and one that is not the download, leave no file.
    auto capped = http.makeSession({20, 60, 10 * blockSize})->download({"GET", s.url() + "/big", {}, {}}, dir / "capped");
    EXPECT_TRUE(capped.bodyTooLarge);
    auto missing = session->download({"GET", s.url() + "/missing", {}, {}}, dir / "missing");
    EXPECT_EQ(std::pair(missing.status, missing.bytes), std::pair(404L, std::uint64_t{0}));
    EXPECT_FALSE(fs::exists(dir / "capped") || fs::exists(dir / "missing"));
    // A file that cannot be made is a file error, not a transport one.
    EXPECT_THROW(session->download({"GET", s.url() + "/big", {}, {}}, dir / "no/such/folder"), platform::FileError);
}
