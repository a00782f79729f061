// The relay client over the real curl adapter, against a cpp-httplib server on
// 127.0.0.1.

#include "Platform/Curl/CurlHttp.h"
#include "Support/FakePlatform.h"
#include "TavrelinMac/RelayClient.h"

#include <gmock/gmock.h>
#include <httplib.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <thread>

using namespace tavrelin;
using namespace std::chrono_literals;
using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

namespace {

const std::string token = "rk_curltest0123456";

Handler answer(int status, std::string body) {
    return [=](const httplib::Request&, httplib::Response& response) {
        response.status = status;
        response.set_content(body, "application/json");
    };
}

// Sends {"items":[ ... ]} two bytes every `gap` for about `total`; not as
// JSON, so the server does not compress (and hold back) the chunks.
Handler trickle(std::chrono::milliseconds total, std::chrono::milliseconds gap = 100ms) {
    return [total, gap](const httplib::Request&, httplib::Response& response) {
        const std::size_t end = 10 + 2 * static_cast<std::size_t>(total / gap);
        response.set_content_provider(end + 2, "application/octet-stream",
                                      [end, gap](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                          if (offset == 0)
                                              return sink.write("{\"items\":[", 10);
                                          std::this_thread::sleep_for(gap);
                                          return offset < end ? sink.write("  ", 2) : sink.write("]}", 2);
                                      });
    };
}

// A loopback server that records every request and answers with the handler.
struct CurlRelayTest : ::testing::Test {
    CurlRelayTest() {
        auto route = [this](const httplib::Request& request, httplib::Response& response) {
            std::lock_guard lock(mutex);
            seen.push_back(request);
            handler(request, response); // quick: a slow body is sent after it returns
        };
        server.Get(".*", route).Post(".*", route);
        base += std::to_string(server.bind_to_any_port("127.0.0.1"));
        thread = std::jthread([this] { server.listen_after_bind(); });
        while (!server.is_running())
            std::this_thread::sleep_for(1ms);
    }
    ~CurlRelayTest() override { server.stop(); }
    std::vector<httplib::Request> requests() {
        std::lock_guard lock(mutex);
        return seen;
    }
    void handle(Handler next) {
        std::lock_guard lock(mutex);
        handler = std::move(next);
    }
    RelayClient client(platform::HttpSessionConfig config = {}, std::string apiBase = {}, std::string key = token) {
        return RelayClient(Pairing{apiBase.empty() ? base : apiBase, key, {}}, http, appInfo, config);
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

    fake::FakeBundle bundle;
    AppInfo appInfo{bundle};
    curl::CurlHttp http;
    httplib::Server server;
    std::string base = "http://127.0.0.1:";
    std::mutex mutex;
    std::vector<httplib::Request> seen;
    Handler handler = answer(200, R"({"items":[]})");
    std::jthread thread; // last: joined before the rest goes
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
    // No kind: what comes within the limits is read.
    const std::tuple<Handler, platform::HttpSessionConfig, std::optional<Kind>, std::string> rows[] = {
        {trickle(1200ms, 1200ms), {0.3, 10}, Kind::transport, "The request timed out (no data for 0.3 s)"},
        // Steady bytes keep the request time-out from firing, not the whole-exchange one.
        {trickle(2000ms), {0.5, 1}, Kind::transport, "the exchange took longer than 1 s"},
        {trickle(2000ms), {0.5, platform::HttpSessionConfig::noLimit}, {}, ""},
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
