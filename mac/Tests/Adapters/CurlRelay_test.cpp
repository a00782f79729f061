// The relay client over the real curl adapter, against cpp-httplib servers on
// 127.0.0.1.

#include "Platform/Curl/CurlHttp.h"
#include "Support/FakePlatform.h"
#include "TavrelinMac/RelayClient.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <functional>
#include <mutex>
#include <set>
#include <thread>

using namespace tavrelin;
using namespace std::chrono_literals;
using ::testing::HasSubstr;

namespace {

const std::string token = "rk_curltest0123456";
using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

Handler answer(int status, std::string body) {
    return [status, body](const httplib::Request&, httplib::Response& response) {
        response.status = status;
        response.set_content(body, "application/json");
    };
}

// A loopback server that records every request and answers with `handler`.
class TestServer {
public:
    TestServer() {
        auto route = [this](const httplib::Request& request, httplib::Response& response) {
            std::unique_lock lock(mutex_);
            seen_.push_back(request);
            Handler current = handler_;
            lock.unlock();
            current(request, response);
        };
        server_.Get(".*", route);
        server_.Post(".*", route);
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running())
            std::this_thread::sleep_for(1ms);
    }
    ~TestServer() {
        server_.stop();
        thread_.join();
    }
    std::vector<httplib::Request> seen() const {
        std::lock_guard lock(mutex_);
        return seen_;
    }
    std::string base(const std::string& host = "127.0.0.1") const { return "http://" + host + ":" + std::to_string(port_); }
    void handle(Handler handler) {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
    }

private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<httplib::Request> seen_;
    Handler handler_ = answer(200, R"({"items":[]})");
};

// Sends {"items":[ ... ]} two bytes at a time, 100 ms apart, for about `total`.
Handler trickle(std::chrono::milliseconds total) {
    return [total](const httplib::Request&, httplib::Response& response) {
        auto chunks = std::make_shared<long>(total / 100ms);
        // Not a JSON content type, so the server does not compress (and hold back) the chunks.
        response.set_chunked_content_provider("application/octet-stream",
                                              [chunks](std::size_t offset, httplib::DataSink& sink) {
                                                  if (offset == 0)
                                                      return sink.write("{\"items\":[", 10);
                                                  if ((*chunks)-- <= 0) {
                                                      sink.write("]}", 2);
                                                      sink.done();
                                                      return true;
                                                  }
                                                  std::this_thread::sleep_for(100ms);
                                                  return sink.write("  ", 2);
                                              });
    };
}

struct CurlRelayTest : ::testing::Test {
    fake::FakeBundle bundle;
    AppInfo appInfo{bundle};
    curl::CurlHttp http;
    TestServer server;

    RelayClient client(platform::HttpSessionConfig config = {}, std::string apiBase = {}, std::string key = token) {
        return RelayClient(Pairing{apiBase.empty() ? server.base() : apiBase, key, {}}, http, appInfo, config);
    }
    static RelayError errorOf(const RelayClient& client) {
        try {
            client.fetchPending();
        } catch (const RelayError& error) {
            return error;
        }
        ADD_FAILURE() << "no RelayError";
        return RelayError::malformed("none");
    }
};

} // namespace

TEST_F(CurlRelayTest, ServerReceivesTheHeadersAndTheExactAckBodyOnOneConnection) {
    auto c = client();
    c.fetchPending();
    c.ack({"a", "b"}, {"Work", "Zoë"});
    c.ack({}, {});
    auto seen = server.seen();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].method + " " + seen[0].path, "GET /relay/device/pending");
    EXPECT_EQ(seen[1].method + " " + seen[1].path, "POST /relay/device/ack");
    for (const auto& s : seen) {
        EXPECT_EQ(s.get_header_value("Authorization"), "Bearer " + token);
        EXPECT_EQ(s.get_header_value("Accept"), "application/json");
        EXPECT_EQ(s.get_header_value("User-Agent"), "TavrelinMac/1.4.2");
        EXPECT_FALSE(s.has_header("Cookie") || s.has_header("Expect"));
        EXPECT_EQ(s.remote_port, seen[0].remote_port) << "one connection serves every exchange";
    }
    EXPECT_FALSE(seen[0].has_header("Content-Type"));
    EXPECT_EQ(seen[1].get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(seen[1].body, R"({"ids":["a","b"],"lists":["Work","Zoë"]})");
    EXPECT_EQ(seen[2].body, R"({"ids":[],"lists":[]})");

    server.handle(answer(200, R"({"items":[{"id":"1","title":"t","allDay":true,"notes":null}]})"));
    EXPECT_EQ(c.fetchPending(), (std::vector<RelayItem>{{"1", "t", std::nullopt, std::nullopt, true, std::nullopt}}));

    // Several exchanges of one client at the same time.
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            for (int j = 0; j < 5; ++j)
                EXPECT_EQ(c.fetchPending().size(), 1u);
        });
    for (auto& t : threads)
        t.join();
}

TEST_F(CurlRelayTest, FailuresAreClassified) {
    const std::size_t cap = 16 * 1024 * 1024;
    const std::string json = R"({"items":[]})";
    struct Row {
        Handler handler;
        platform::HttpSessionConfig config;
        std::string apiBase;
        RelayError::Kind kind;
        std::string text;
    } rows[] = {
        {[](const httplib::Request&, httplib::Response& response) {
             std::this_thread::sleep_for(1200ms);
             response.set_content(R"({"items":[]})", "application/json");
         },
         {0.3, 10},
         "",
         RelayError::Kind::transport,
         "Could not reach the backend: The request timed out (no data for 0.3 s)"},
        // Steady bytes keep the request time-out from firing, not the whole-exchange one.
        {trickle(2000ms), {0.5, 1}, "", RelayError::Kind::transport, "the exchange took longer than 1 s"},
        {answer(200, ""), {}, "http://127.0.0.1:1", RelayError::Kind::transport, "Could not reach the backend"},
        {answer(200, ""), {}, "https://127.0.0.1:" + server.base().substr(17), RelayError::Kind::transport, ""},
        {answer(200, "{\"items\":"), {}, "", RelayError::Kind::malformed, ""},
        {answer(200, json + std::string(cap - json.size() + 1, ' ')),
         {},
         "",
         RelayError::Kind::malformed,
         "Could not read the backend's reply: the reply is larger than 16 MiB"},
        {answer(401, ""), {}, "", RelayError::Kind::unauthorized, ""},
        {answer(503, ""), {}, "", RelayError::Kind::http, ""},
    };
    for (const Row& row : rows) {
        server.handle(row.handler);
        RelayError error = errorOf(client(row.config, row.apiBase));
        EXPECT_EQ(error.kind(), row.kind) << error.what();
        EXPECT_THAT(error.what(), HasSubstr(row.text));
    }
    // What comes within the limits is read.
    for (auto [handler, config] : {std::pair{trickle(800ms), platform::HttpSessionConfig{0.5, 5}},
                                   {trickle(2000ms), {0.5, platform::HttpSessionConfig::noLimit}},
                                   {answer(200, json + std::string(cap - json.size(), ' ')), {}}}) {
        server.handle(handler);
        EXPECT_NO_THROW(client(config).fetchPending());
    }
}

TEST_F(CurlRelayTest, RedirectsKeepAuthorizationOnlyWithinTheOrigin) {
    TestServer other;
    struct Case {
        int status;
        std::string location;
        TestServer* target;
        bool keepsAuthorization;
    } cases[] = {
        {302, "/moved", &server, true},
        {307, server.base("localhost") + "/moved", &server, false}, // other host name
        {308, other.base() + "/moved", &other, false},              // other port
    };
    for (const auto& c : cases) {
        server.handle([&c](const httplib::Request& request, httplib::Response& response) {
            if (request.path == "/moved")
                return response.set_content(R"({"items":[]})", "application/json");
            response.status = c.status;
            response.set_header("Location", c.location);
        });
        EXPECT_NO_THROW(client().fetchPending());
        auto seen = c.target->seen().back();
        EXPECT_EQ(seen.path, "/moved");
        EXPECT_EQ(seen.get_header_value("Authorization"), c.keepsAuthorization ? "Bearer " + token : "") << c.location;
    }
    const auto before = server.seen().size();
    server.handle([](const httplib::Request&, httplib::Response& response) {
        response.status = 302;
        response.set_header("Location", "/again");
    });
    EXPECT_THAT(errorOf(client()).what(), HasSubstr("too many redirects"));
    EXPECT_EQ(server.seen().size(), before + curl::maxRedirects + 1);
}

// The https side is not served here: the decision is checked directly.
TEST(CurlRedirect, Decisions) {
    const platform::HttpRequest post{
        "POST", "https://relay.example/ack", {{"Authorization", "Bearer x"}, {"Content-Type", "application/json"}}, "{}"};
    auto headers = [](const std::optional<platform::HttpRequest>& r) {
        std::string names = r->method;
        for (const auto& h : r->headers)
            names += " " + h.first;
        return names;
    };
    EXPECT_FALSE(curl::redirectedRequest(post, 304, "https://relay.example/x"));
    EXPECT_EQ(headers(curl::redirectedRequest(post, 308, "https://RELAY.example:443/y")), "POST Authorization Content-Type");
    EXPECT_EQ(headers(curl::redirectedRequest(post, 307, "https://cdn.example/y")), "POST Content-Type");
    EXPECT_EQ(headers(curl::redirectedRequest(post, 302, "https://relay.example/y")), "GET Authorization");
    // Plain http after https only to this machine, and without the token.
    EXPECT_EQ(headers(curl::redirectedRequest(post, 307, "http://localhost:8080/y")), "POST Content-Type");
    EXPECT_EQ(headers(curl::redirectedRequest(post, 307, "http://127.0.0.1/y")), "POST Content-Type");
    for (const char* target : {"http://relay.example/y", "http://LOCALHOSTx/y", "ftp://relay.example/y", "file:///etc/passwd"})
        EXPECT_THROW(curl::redirectedRequest(post, 302, target), platform::HttpTransportError) << target;
}

TEST_F(CurlRelayTest, RefusedRequestsNeverReachTheServer) {
    // Not a URL with the path appended (a space), and no scheme.
    for (std::string apiBase : {server.base() + "/a b", server.base().substr(7)})
        EXPECT_EQ(errorOf(client({}, apiBase)).message(), "bad pairing URL");
    // A token with a line break would smuggle a header in.
    RelayError error = errorOf(client({}, {}, token + "\r\nX-Evil: 1"));
    EXPECT_EQ(error.kind(), RelayError::Kind::transport);
    EXPECT_THAT(error.what(), ::testing::Not(HasSubstr(token)));
    EXPECT_TRUE(server.seen().empty());
}
