// The relay client over the real curl adapter, against cpp-httplib servers on
// 127.0.0.1.

#include "Platform/Curl/CurlHttp.h"
#include "Support/FakePlatform.h"
#include "TavrelinMac/RelayClient.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

using namespace tavrelin;
using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const std::string token = "rk_curltest0123456";

struct Seen {
    std::string method, path, body;
    httplib::Headers headers;
    int port = 0;
    std::string header(const std::string& name) const {
        auto it = headers.find(name);
        return it == headers.end() ? "<absent>" : it->second;
    }
};

// A loopback server whose every request goes to `handler`, recorded first.
class TestServer {
public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    TestServer() {
        server_.set_keep_alive_max_count(1000);
        server_.set_keep_alive_timeout(30);
        auto route = [this](const httplib::Request& request, httplib::Response& response) {
            Handler current;
            {
                std::lock_guard lock(mutex_);
                seen_.push_back({request.method, request.path, request.body, request.headers, request.remote_port});
                current = handler_;
            }
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

    void handle(Handler handler) {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
    }
    void answer(int status, std::string body) {
        handle([status, body](const httplib::Request&, httplib::Response& response) {
            response.status = status;
            response.set_content(body, "application/json");
        });
    }
    std::vector<Seen> seen() const {
        std::lock_guard lock(mutex_);
        return seen_;
    }
    int port() const { return port_; }
    std::string base(const std::string& host = "127.0.0.1") const { return "http://" + host + ":" + std::to_string(port_); }

private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    Handler handler_ = [](const httplib::Request&, httplib::Response& r) {
        r.set_content(R"({"items":[]})", "application/json");
    };
    std::vector<Seen> seen_;
};

struct CurlRelayTest : ::testing::Test {
    fake::FakeBundle bundle;
    AppInfo appInfo{bundle};
    curl::CurlHttp http;
    TestServer server;

    RelayClient client(platform::HttpSessionConfig config = {}, std::string apiBase = {}) {
        return RelayClient(Pairing{apiBase.empty() ? server.base() : apiBase, token, {}}, http, appInfo, config);
    }
    static RelayError errorOf(const std::function<void()>& call) {
        try {
            call();
        } catch (const RelayError& error) {
            return error;
        }
        ADD_FAILURE() << "no RelayError";
        return RelayError::malformed("none");
    }
};

TEST_F(CurlRelayTest, ServerReceivesTheHeadersAndTheExactAckBody) {
    auto c = client();
    c.fetchPending();
    c.ack({"a", "b"}, {"Work", "Zoë"});
    c.ack({}, {});
    auto seen = server.seen();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].method, "GET");
    EXPECT_EQ(seen[0].path, "/relay/device/pending");
    EXPECT_EQ(seen[1].method, "POST");
    EXPECT_EQ(seen[1].path, "/relay/device/ack");
    for (const auto& s : seen) {
        EXPECT_EQ(s.header("Authorization"), "Bearer " + token);
        EXPECT_EQ(s.header("Accept"), "application/json");
        EXPECT_EQ(s.header("User-Agent"), "TavrelinMac/1.4.2");
        EXPECT_EQ(s.header("Cookie"), "<absent>");
        EXPECT_EQ(s.header("Expect"), "<absent>");
    }
    EXPECT_EQ(seen[0].header("Content-Type"), "<absent>");
    EXPECT_EQ(seen[1].header("Content-Type"), "application/json");
    EXPECT_EQ(seen[1].body, R"({"ids":["a","b"],"lists":["Work","Zoë"]})");
    EXPECT_EQ(seen[2].body, R"({"ids":[],"lists":[]})");

    // The status and body reach the client as they came.
    server.answer(200, R"({"items":[{"id":"1","title":"t","allDay":true,"notes":null}]})");
    EXPECT_EQ(c.fetchPending(), (std::vector<RelayItem>{{"1", "t", std::nullopt, std::nullopt, true, std::nullopt}}));
    server.answer(401, "");
    EXPECT_EQ(errorOf([&] { c.fetchPending(); }).kind(), RelayError::Kind::unauthorized);
}

TEST_F(CurlRelayTest, OneConnectionServesManyExchangesAndConcurrentCallsWork) {
    auto c = client();
    for (int i = 0; i < 4; ++i) {
        c.fetchPending();
        c.ack({"x"}, {});
    }
    std::set<int> ports;
    for (const auto& s : server.seen())
        ports.insert(s.port);
    EXPECT_EQ(ports.size(), 1u);

    // Two exchanges of one client at the same time.
    std::atomic<int> succeeded = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            for (int j = 0; j < 5; ++j) {
                c.fetchPending();
                ++succeeded;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(succeeded, 20);
}

TEST_F(CurlRelayTest, SilentServerTripsTheRequestTimeout) {
    server.handle([](const httplib::Request&, httplib::Response& response) {
        std::this_thread::sleep_for(1200ms);
        response.set_content(R"({"items":[]})", "application/json");
    });
    RelayError error = errorOf([&] { client({0.3, 10}).fetchPending(); });
    EXPECT_EQ(error.kind(), RelayError::Kind::transport);
    EXPECT_THAT(error.what(), HasSubstr("Could not reach the backend: The request timed out (no data for 0.3 s)"));
}

// Sends {"items":[ ... ]} a few bytes at a time, `gap` apart, for about `total`.
TestServer::Handler trickle(std::chrono::milliseconds gap, std::chrono::milliseconds total) {
    return [gap, total](const httplib::Request&, httplib::Response& response) {
        auto chunks = std::make_shared<int>(static_cast<int>(total / gap));
        // Not a JSON content type, so the server does not compress (and hold
        // back) the chunks.
        response.set_chunked_content_provider("application/octet-stream",
                                              [gap, chunks](std::size_t offset, httplib::DataSink& sink) {
                                                  if (offset == 0)
                                                      return sink.write("{\"items\":[", 10);
                                                  if ((*chunks)-- <= 0) {
                                                      sink.write("]}", 2);
                                                      sink.done();
                                                      return true;
                                                  }
                                                  std::this_thread::sleep_for(gap);
                                                  return sink.write("  ", 2);
                                              });
    };
}

TEST_F(CurlRelayTest, TrickleWithinTheRequestTimeoutStillTripsTheResourceTimeout) {
    server.handle(trickle(100ms, 2000ms));
    RelayError error = errorOf([&] { client({0.5, 1}).fetchPending(); });
    EXPECT_EQ(error.kind(), RelayError::Kind::transport);
    EXPECT_THAT(error.what(), HasSubstr("the exchange took longer than 1 s"));

    // The same trickle completes when the whole exchange is allowed longer:
    // steady bytes keep the request time-out from firing.
    server.handle(trickle(100ms, 800ms));
    EXPECT_NO_THROW(client({0.5, 5}).fetchPending());

    // With no whole-exchange limit (the update download) only silence ends it.
    server.handle(trickle(100ms, 2000ms));
    EXPECT_NO_THROW(client({0.5, platform::HttpSessionConfig::noLimit}).fetchPending());
}

TEST_F(CurlRelayTest, RedirectsKeepAuthorizationOnlyWithinTheOrigin) {
    TestServer other;
    auto redirectTo = [&](int status, std::string location) {
        server.handle([status, location](const httplib::Request& request, httplib::Response& response) {
            if (request.path.rfind("/moved", 0) == 0) {
                response.set_content(R"({"items":[]})", "application/json");
                return;
            }
            response.status = status;
            response.set_header("Location", location);
        });
    };
    struct Case {
        int status;
        std::string location;
        TestServer* target;
        bool keepsAuthorization;
    } cases[] = {
        {302, "/moved", &server, true},
        {301, server.base() + "/moved", &server, true},
        {307, "http://localhost:" + std::to_string(server.port()) + "/moved", &server, false}, // other host name
        {308, other.base() + "/moved", &other, false},                                         // other port
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.location);
        redirectTo(c.status, c.location);
        auto before = c.target->seen().size();
        EXPECT_NO_THROW(client().fetchPending());
        auto seen = c.target->seen();
        ASSERT_EQ(seen.size(), before + 1 + (c.target == &server ? 1 : 0));
        EXPECT_THAT(seen.back().path, HasSubstr("moved"));
        EXPECT_EQ(seen.back().header("Authorization"), c.keepsAuthorization ? "Bearer " + token : "<absent>");
        EXPECT_EQ(seen.back().header("User-Agent"), "TavrelinMac/1.4.2");
    }
}

TEST_F(CurlRelayTest, EndlessRedirectsFail) {
    server.handle([](const httplib::Request&, httplib::Response& response) {
        response.status = 302;
        response.set_header("Location", "/again");
    });
    RelayError error = errorOf([&] { client().fetchPending(); });
    EXPECT_EQ(error.kind(), RelayError::Kind::transport);
    EXPECT_THAT(error.what(), HasSubstr("too many redirects"));
    EXPECT_EQ(server.seen().size(), static_cast<std::size_t>(curl::maxRedirects + 1));
}

// The https side is not served here: the decision is checked directly.
TEST(CurlRedirect, Decisions) {
    const platform::HttpRequest post{"POST",
                                     "https://relay.example/relay/device/ack",
                                     {{"Authorization", "Bearer x"}, {"Content-Type", "application/json"}},
                                     "{}"};
    auto has = [](const platform::HttpRequest& r, const std::string& name) {
        for (const auto& h : r.headers)
            if (h.first == name)
                return true;
        return false;
    };
    EXPECT_FALSE(curl::redirectedRequest(post, 200, "https://relay.example/x"));
    EXPECT_FALSE(curl::redirectedRequest(post, 304, "https://relay.example/x"));

    auto same = curl::redirectedRequest(post, 308, "https://RELAY.example:443/y");
    ASSERT_TRUE(same);
    EXPECT_EQ(same->method, "POST");
    EXPECT_TRUE(has(*same, "Authorization")); // default port, host case: same origin

    auto otherHost = curl::redirectedRequest(post, 307, "https://cdn.example/y");
    ASSERT_TRUE(otherHost);
    EXPECT_FALSE(has(*otherHost, "Authorization"));
    EXPECT_EQ(otherHost->body, "{}");

    auto toGet = curl::redirectedRequest(post, 302, "https://relay.example/y");
    ASSERT_TRUE(toGet);
    EXPECT_EQ(toGet->method, "GET");
    EXPECT_FALSE(has(*toGet, "Content-Type"));
    EXPECT_TRUE(has(*toGet, "Authorization"));

    // Plain http after https only to this machine, and without the token.
    for (const char* target : {"http://relay.example/y", "http://192.168.1.5/y", "http://LOCALHOSTx/y"})
        EXPECT_THROW(curl::redirectedRequest(post, 302, target), platform::HttpTransportError) << target;
    for (const char* target : {"http://localhost:8080/y", "http://127.0.0.1/y"}) {
        auto local = curl::redirectedRequest(post, 307, target);
        ASSERT_TRUE(local) << target;
        EXPECT_FALSE(has(*local, "Authorization"));
    }
    EXPECT_THROW(curl::redirectedRequest(post, 302, "ftp://relay.example/y"), platform::HttpTransportError);
    EXPECT_THROW(curl::redirectedRequest(post, 302, "file:///etc/passwd"), platform::HttpTransportError);
}

TEST_F(CurlRelayTest, BodiesAreCappedAt16MiB) {
    const std::size_t cap = 16 * 1024 * 1024;
    const std::string json = R"({"items":[]})";
    // Exactly at the cap is read (white space pads valid JSON).
    server.answer(200, json + std::string(cap - json.size(), ' '));
    EXPECT_TRUE(client().fetchPending().empty());

    server.answer(200, json + std::string(cap - json.size() + 1, ' '));
    RelayError error = errorOf([&] { client().fetchPending(); });
    EXPECT_STREQ(error.what(), "Could not read the backend's reply: the reply is larger than 16 MiB");
}

TEST_F(CurlRelayTest, RefusedRequestsNeverReachTheServer) {
    // Not a URL with the path appended (a space), and no scheme.
    for (std::string apiBase : {server.base() + "/a b", "127.0.0.1:" + std::to_string(server.port())}) {
        RelayError error = errorOf([&] { client({}, apiBase).fetchPending(); });
        EXPECT_EQ(error.message(), "bad pairing URL");
    }
    // A token with a line break would smuggle a header in.
    RelayClient injected(Pairing{server.base(), token + "\r\nX-Evil: 1", {}}, http, appInfo);
    RelayError error = errorOf([&] { injected.fetchPending(); });
    EXPECT_EQ(error.kind(), RelayError::Kind::transport);
    EXPECT_THAT(error.what(), Not(HasSubstr(token)));
    EXPECT_TRUE(server.seen().empty());
}

} // namespace
