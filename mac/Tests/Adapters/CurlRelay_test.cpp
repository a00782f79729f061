// The relay client over the real curl adapter, against a cpp-httplib server on
// 127.0.0.1.

#include "Platform/Curl/CurlHttp.h"
#include "Support/FakePlatform.h"
#include "Support/LoopbackServer.h"
#include "TavrelinMac/RelayClient.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <thread>

using namespace tavrelin;
using namespace tavrelin::testing;
using namespace std::chrono_literals;
using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

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

// A loopback server that records every request and answers with the handler.
struct CurlRelayTest : ::testing::Test {
    ~CurlRelayTest() override { silence.open(); } // before the server stops: it waits for its handlers
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
            response.set_chunked_content_provider("application/octet-stream",
                                                  [this](std::size_t offset, httplib::DataSink& sink) {
                                                      if (offset == 0)
                                                          return sink.write("{\"items\":[", 10);
                                                      silence.pass();
                                                      return false;
                                                  });
        };
    }

    fake::FakeBundle bundle;
    AppInfo appInfo{bundle};
    curl::CurlHttp http;
    std::mutex mutex;
    std::vector<httplib::Request> seen;
    Handler handler = answer(200, R"({"items":[]})");
    Gate silence;
    LoopbackServer server{[this](httplib::Server& s) {
        auto route = [this](const httplib::Request& request, httplib::Response& response) {
            std::lock_guard lock(mutex);
            seen.push_back(request);
            handler(request, response); // quick: a slow body is sent after it returns
        };
        s.Get(".*", route).Post(".*", route);
    }};
};

} // namespace

// Refused requests fail as transport; those that reach the server share one connection
// and say what their body is (the end-to-end relay test reads the rest: method,
// path, token, body); failures are classified.
TEST_F(CurlRelayTest, RequestsAndFailures) {
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
        // Steady bytes keep the request time-out from firing, not the whole-exchange one.
        {stream(0), {30, 0.5}, Kind::transport, "the exchange took longer than 0.5 s"},
        // Bytes for longer than the request time-out, never silent as long.
        {stream(150), {1, none}, {}, ""},
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
    // Elsewhere without the token; whether plain http is followed is the
    // session's rule (CurlDownload_test), only other schemes are refused here.
    for (const char* target : {"https://cdn.example/y", "http://localhost:8080/y", "http://relay.example/y"})
        EXPECT_EQ(headers(307, target), "POST Content-Type") << target;
    for (const char* target : {"ftp://relay.example/y", "file:///etc/passwd"})
        EXPECT_THROW(curl::redirectedRequest(post, 302, target), platform::HttpTransportError) << target;
}
