// The curl adapter against a cpp-httplib server on 127.0.0.1: the relay
// client over it, its redirect rule, low-speed limit and streamed downloads.

#include "Platform/Curl/CurlHttp.h"
#include "Platform/Files.h"
#include "Platform/Posix/Sha256.h"
#include "Support/FakePlatform.h"
#include "Support/LoopbackServer.h"
#include "Support/TempFolder.h"
#include "TavrelinMac/RelayClient.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

using namespace tavrelin;
using namespace tavrelin::testing;
using namespace std::chrono_literals;
using platform::HttpSessionConfig;
using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;
namespace fs = std::filesystem;

namespace {

const std::string token = "rk_curltest0123456";

Handler answer(int status, std::string body) {
    return [=](const httplib::Request&, httplib::Response& response) {
        response.set_content(body, "application/json");
        response.status = status;
    };
}

// Starts a reply {"items":[ and then sends, every 10 ms, two more bytes:
// `pairs` times before closing it with ]}, or without end (0) until the client
// leaves. Not as JSON, so the server does not compress (and hold back) the
// chunks. The pauses are far below any limit the tests set on silence.
Handler stream(int pairs) {
    return [pairs](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider("application/octet-stream", [pairs](std::size_t offset, httplib::DataSink& sink) {
            if (offset == 0)
                return sink.write("{\"items\":[", 10);
            std::this_thread::sleep_for(10ms);
            if (pairs == 0 || (offset - 10) / 2 < static_cast<std::size_t>(pairs))
                return sink.write("  ", 2);
            sink.write("]}", 2);
            sink.done();
            return true;
        });
    };
}

// Deterministic bytes, one block at a time and without allocating, so that
// neither end holds them whole: one pattern, each block numbered at its start.
constexpr std::size_t blockSize = 64 * 1024;
void fillBlock(std::size_t index, std::array<char, blockSize>& bytes) {
    for (std::size_t i = 0; i < blockSize; ++i)
        bytes[i] = static_cast<char>(i * 7 % 251);
    std::memcpy(bytes.data(), &index, sizeof index);
}

constexpr std::size_t blocks = 768; // 48 MiB

// A loopback server with a few fixed routes; every other request is recorded
// and answered with the handler.
struct CurlTest : ::testing::Test {
    ~CurlTest() override { silence.open(); } // before the server stops: it waits for its handlers
    std::vector<httplib::Request> requests() {
        std::lock_guard lock(mutex);
        return seen;
    }
    void handle(Handler next) {
        std::lock_guard lock(mutex);
        handler = std::move(next);
    }
    RelayClient client(platform::HttpSessionConfig config = {}, std::string apiBase = {}, std::string key = token) {
        return RelayClient(Pairing{apiBase.empty() ? server.url() : apiBase, key, {}}, http, appInfo, config);
    }
    // The error fetching fails with; a malformed "none" when it does not fail.
    static RelayError errorOf(const RelayClient& client) {
        try {
            client.fetchPending();
        } catch (const RelayError& error) {
            return error;
        }
        return RelayError::malformed("none");
    }
    // Starts a reply {"items":[ and says nothing more until the test ends.
    Handler silent() {
        return [this](const httplib::Request&, httplib::Response& response) {
            response.set_chunked_content_provider(
                "application/octet-stream", [this](std::size_t offset, httplib::DataSink& sink) {
                    return offset == 0 ? sink.write("{\"items\":[", 10) : (silence.pass(), false);
                });
        };
    }

    fake::FakeBundle bundle;
    AppInfo appInfo{bundle};
    curl::CurlHttp http;
    TempFolder dir;
    std::mutex mutex;
    std::vector<httplib::Request> seen;
    Handler handler = answer(200, R"({"items":[]})");
    Gate silence;
    LoopbackServer server{[this](httplib::Server& s) {
        s.Get("/same", [](const auto&, auto& response) { response.set_redirect("/file"); });
        // The same server under a name that is another host to a redirect rule.
        s.Get("/away", [](const auto& request, auto& response) {
            response.set_redirect("http://localhost:" + std::to_string(request.local_port) + "/file");
        });
        s.Get("/big", [](const auto&, auto& response) {
            response.set_content_provider(
                blocks * blockSize, "application/octet-stream", [](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                    static thread_local std::array<char, blockSize> bytes;
                    fillBlock(offset / blockSize, bytes);
                    return sink.write(bytes.data() + offset % blockSize, blockSize - offset % blockSize);
                });
        });
        auto route = [this](const httplib::Request& request, httplib::Response& response) {
            std::lock_guard lock(mutex);
            seen.push_back(request);
            handler(request, response); // quick: a slow body is sent after it returns
        };
        s.Get(".*", route).Post(".*", route);
    }};
};

} // namespace

// Refused requests fail as transport, the others share one connection, and failures are
// classified. (The end-to-end relay test reads the method, path, token and body.)
TEST_F(CurlTest, RequestsAndFailures) {
    using Kind = RelayError::Kind;
    // Nothing listens there; a token with a line break would smuggle a header in.
    EXPECT_EQ(errorOf(client({}, "http://127.0.0.1:1")).kind(), Kind::transport);
    EXPECT_EQ(errorOf(client({}, {}, token + "\r\nX-Evil: 1")).kind(), Kind::transport);

    auto c = client();
    c.fetchPending();
    c.ack({"a", "b"}, {"Work", "Zoë"});
    const auto seen = requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].remote_port, seen[0].remote_port) << "one connection serves every exchange";
    EXPECT_FALSE(seen[0].has_header("Content-Type"));
    EXPECT_EQ(seen[1].get_header_value("Content-Type"), "application/json");

    const std::string json = R"({"items":[]})";
    const platform::HttpSessionConfig capped{20, 30, 64};
    constexpr auto none = platform::HttpSessionConfig::noLimit;
    // No kind: what comes within the limits is read. Each limit that should
    // not end an exchange is at least a hundred times the server's pauses.
    const std::tuple<Handler, platform::HttpSessionConfig, std::optional<Kind>, std::string> rows[] = {
        {silent(), {0.3, none}, Kind::transport, "The request timed out (no data for 0.3 s)"},
        // Steady bytes faster than the low-speed limit keep it and the request
        // time-out from firing, not the whole-exchange one.
        {stream(0), {30, 2, 1 << 20, 10, 1}, Kind::transport, "the exchange took longer than 2 s"},
        // Bytes for longer than the request time-out, never silent as long.
        {stream(150), {1, none}, {}, ""},
        // A few bytes now and then, below the low-speed limit.
        {stream(0), {5, 15, 1 << 20, 1000, 1}, Kind::transport, "too slow"},
        {answer(200, json + std::string(64 - json.size() + 1, ' ')), capped, Kind::malformed, "larger than"},
        {answer(200, json + std::string(64 - json.size(), ' ')), capped, {}, ""},
        {[](const auto&, auto& response) { response.set_redirect("/again"); }, {}, Kind::transport, "too many redirects"},
    };
    for (const auto& [handler, config, kind, text] : rows) {
        handle(handler);
        RelayError error = errorOf(client(config));
        EXPECT_EQ(error.message() == "none" ? std::nullopt : std::optional(error.kind()), kind) << error.what();
        EXPECT_THAT(error.what(), ::testing::HasSubstr(text));
    }
    EXPECT_EQ(std::ranges::count(requests(), "/again", &httplib::Request::path), curl::maxRedirects);
}

// The https side is not served here: the decision is checked directly.
TEST(CurlRedirect, Decisions) {
    const platform::HttpRequest post{
        "POST", "https://relay.example/ack", {{"Authorization", "Bearer x"}, {"Content-Type", "application/json"}}, "{}"};
    auto headers = [&](long status, const std::string& target) {
        auto next = curl::redirectedRequest(post, status, target);
        std::string names = next ? next->method : "none";
        for (const auto& h : next ? next->headers : decltype(post.headers){})
            names += " " + h.first;
        return names;
    };
    EXPECT_EQ(headers(304, "https://relay.example/x"), "none");
    EXPECT_EQ(headers(308, "https://RELAY.example:443/y"), "POST Authorization Content-Type");
    EXPECT_EQ(headers(302, "https://relay.example/y"), "GET Authorization");
    // Elsewhere without the token; only other schemes are refused here.
    for (const char* target : {"https://cdn.example/y", "http://localhost:8080/y", "http://relay.example/y"})
        EXPECT_EQ(headers(307, target), "POST Content-Type") << target;
    for (const char* target : {"ftp://relay.example/y", "file:///etc/passwd"})
        EXPECT_THROW(curl::redirectedRequest(post, 302, target), platform::HttpTransportError) << target;

    // Whether plain http is followed is the session's rule: never down from https by default.
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

// The logic decides whether a redirect is followed; curl asks before every hop.
TEST_F(CurlTest, FollowsOnlyTheRedirectsTheRuleAllows) {
    HttpSessionConfig config;
    config.allowRedirect = [this](const std::string& from, const std::string& to) {
        return from.starts_with(server.url()) && to.starts_with(server.url());
    };
    auto session = http.makeSession(config);
    handle(answer(200, "the file"));
    EXPECT_EQ(session->perform({"GET", server.url() + "/same", {}, {}}).body, "the file");
    auto got = session->download({"GET", server.url() + "/same", {}, {}}, dir / "same");
    EXPECT_EQ(std::tuple(got.status, got.bytes, got.sha256), std::tuple(200L, 8ull, posix::sha256Hex("the file")));
    EXPECT_EQ(readFile(dir / "same"), "the file");

    const platform::HttpRequest away{"GET", server.url() + "/away", {}, {}};
    for (const bool toFile : {false, true}) {
        try {
            if (toFile)
                session->download(away, dir / "away");
            else
                session->perform(away);
            ADD_FAILURE() << "a redirect to another host was followed";
        } catch (const platform::HttpRedirectRefused& refused) {
            EXPECT_EQ(refused.target(), "http://localhost:" + server.url().substr(server.url().rfind(':') + 1) + "/file");
        }
    }
    EXPECT_EQ(std::ranges::count(requests(), "/file", &httplib::Request::path), 2) << "the refused target must never be asked";
    EXPECT_FALSE(fs::exists(dir / "away")) << "a refused download leaves no file";
}

// The whole body reaches the file and its digest, while the process's peak
// memory grows far less than the body.
TEST_F(CurlTest, DownloadsStreamToTheFile) {
    posix::Sha256 expected;
    for (std::size_t i = 0; i < blocks; ++i) {
        std::array<char, blockSize> bytes;
        fillBlock(i, bytes);
        expected.update(std::string_view(bytes.data(), bytes.size()));
    }

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
    auto got = session->download({"GET", server.url() + "/big", {}, {}}, dir / "big");
    EXPECT_EQ(std::tuple(got.status, got.bytes, fs::file_size(dir / "big"), got.sha256),
              std::tuple(200L, std::uint64_t{blocks * blockSize}, std::uintmax_t{blocks * blockSize}, expected.hexDigest()));
    EXPECT_LT(memoryKiB("VmHWM:") - before, 16 * 1024)
        << "the download grew the process by about its size (peak " << memoryKiB("VmHWM:") << " KiB from " << before << " KiB)";

    // A body over the cap, and one that is not the download, leave no file.
    auto capped = http.makeSession({20, 60, 10 * blockSize})->download({"GET", server.url() + "/big", {}, {}}, dir / "capped");
    EXPECT_TRUE(capped.bodyTooLarge);
    handle(answer(404, "not here"));
    auto missing = session->download({"GET", server.url() + "/missing", {}, {}}, dir / "missing");
    EXPECT_EQ(std::pair(missing.status, missing.bytes), std::pair(404L, std::uint64_t{0}));
    EXPECT_FALSE(fs::exists(dir / "capped") || fs::exists(dir / "missing"));
    // A file that cannot be made is a file error, not a transport one.
    EXPECT_THROW(session->download({"GET", server.url() + "/big", {}, {}}, dir / "no/such/folder"), platform::FileError);
}
