#include "Support/FakePlatform.h"
#include "TavrelinMac/RelayClient.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

using namespace tavrelin;
using platform::HttpRequest;
using platform::HttpResponse;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const std::string token = "rk_0123456789abcdef";

struct RelayClientTest : ::testing::Test {
    struct {
        fake::FakeHttp http;
        fake::FakeBundle bundle;
        AppInfo appInfo{bundle};
    } p;

    RelayClient client(std::string apiBase = "https://relay.example") {
        return RelayClient(Pairing{std::move(apiBase), token, {}}, p.http, p.appInfo);
    }
    void answer(long status, std::string body) {
        p.http.responder = [status, body](const HttpRequest&) { return HttpResponse{status, body, false}; };
    }
    // Runs `call` and answers the RelayError it throws (fails when none).
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

} // namespace

namespace tavrelin {
void PrintTo(const RelayItem& item, std::ostream* out) {
    *out << "{" << item.id << ", " << item.title << ", " << item.notes.value_or("-") << ", " << item.dueIso.value_or("-")
         << ", " << item.allDay << ", " << item.list.value_or("-") << "}";
}
} // namespace tavrelin

namespace {

std::string header(const HttpRequest& request, const std::string& name) {
    for (const auto& [n, v] : request.headers)
        if (n == name)
            return v;
    return "<absent>";
}

TEST_F(RelayClientTest, BuildsBothRequestsWithTheirHeadersAndTheExactAckBody) {
    auto c = client("http://127.0.0.1:8080/base");
    EXPECT_TRUE(c.fetchPending().empty());
    c.ack({"a", "b\"q"}, {"Work", "Zoë"});
    c.ack({}, {});

    ASSERT_EQ(p.http.requests.size(), 3u);
    const HttpRequest& get = p.http.requests[0];
    EXPECT_EQ(get.method, "GET");
    EXPECT_EQ(get.url, "http://127.0.0.1:8080/base/relay/device/pending");
    EXPECT_EQ(get.body, "");
    for (const HttpRequest& r : p.http.requests) {
        EXPECT_EQ(header(r, "Authorization"), "Bearer " + token);
        EXPECT_EQ(header(r, "Accept"), "application/json");
        EXPECT_EQ(header(r, "User-Agent"), "TavrelinMac/1.4.2");
    }
    EXPECT_EQ(header(get, "Content-Type"), "<absent>");

    const HttpRequest& ack = p.http.requests[1];
    EXPECT_EQ(ack.method, "POST");
    EXPECT_EQ(ack.url, "http://127.0.0.1:8080/base/relay/device/ack");
    EXPECT_EQ(header(ack, "Content-Type"), "application/json");
    EXPECT_EQ(ack.body, R"({"ids":["a","b\"q"],"lists":["Work","Zoë"]})");
    EXPECT_EQ(p.http.requests[2].body, R"({"ids":[],"lists":[]})");

    // One session for the client, configured with the defaults.
    ASSERT_EQ(p.http.sessions.size(), 1u);
    EXPECT_EQ(p.http.sessions[0].requestTimeout, 20);
    EXPECT_EQ(p.http.sessions[0].resourceTimeout, 30);
}

TEST_F(RelayClientTest, AddressIsTheTextualConcatenation) {
    struct Case {
        std::string apiBase;
        std::optional<std::string> url;
    } cases[] = {
        {"HTTPS://Relay.Example:8443/api/", "HTTPS://Relay.Example:8443/api//relay/device/pending"},
        {"https://relay.example?x=1", "https://relay.example?x=1/relay/device/pending"},
        {"relay.example", std::nullopt}, // no scheme, no host
        {"https://", std::nullopt},
        {"mailto:someone", std::nullopt},
    };
    for (const auto& c : cases) {
        auto request = client(c.apiBase).request("/relay/device/pending", "GET");
        EXPECT_EQ(request ? std::optional(request->url) : std::nullopt, c.url) << c.apiBase;
    }
}

TEST_F(RelayClientTest, BadAddressFailsBothExchangesWithoutTraffic) {
    auto c = client("not a url");
    for (const auto& call : std::vector<std::function<void()>>{[&] { c.fetchPending(); }, [&] { c.ack({"x"}, {}); }}) {
        RelayError error = errorOf(call);
        EXPECT_EQ(error.kind(), RelayError::Kind::malformed);
        EXPECT_EQ(error.message(), "bad pairing URL");
        EXPECT_STREQ(error.what(), "Could not read the backend's reply: bad pairing URL");
    }
    EXPECT_TRUE(p.http.requests.empty());
}

TEST_F(RelayClientTest, StatusClassesOfBothExchanges) {
    struct Case {
        long status;
        std::string body;
        std::optional<RelayError::Kind> fetchError; // none: success
        std::optional<RelayError::Kind> ackError;
        std::string description;
    } cases[] = {
        {200, R"({"items":[]})", {}, {}, ""},
        {299, R"({"items":[]})", {}, {}, ""},
        {204, "", RelayError::Kind::malformed, {}, "Could not read the backend's reply: the reply is empty"},
        {401, R"({"items":[]})", RelayError::Kind::unauthorized, RelayError::Kind::unauthorized,
         "The backend rejected this pairing. Re-pair from the extension."},
        {403, "", RelayError::Kind::unauthorized, RelayError::Kind::unauthorized,
         "The backend rejected this pairing. Re-pair from the extension."},
        {404, R"({"items":[]})", RelayError::Kind::http, RelayError::Kind::http, "Backend returned HTTP 404."},
        {500, "oops", RelayError::Kind::http, RelayError::Kind::http, "Backend returned HTTP 500."},
        {302, "", RelayError::Kind::http, RelayError::Kind::http, "Backend returned HTTP 302."},
        {199, "", RelayError::Kind::http, RelayError::Kind::http, "Backend returned HTTP 199."},
        {300, "", RelayError::Kind::http, RelayError::Kind::http, "Backend returned HTTP 300."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        answer(c.status, c.body);
        auto fetch = [&] { client().fetchPending(); };
        auto ack = [&] { client().ack({"1"}, {"L"}); };
        if (c.fetchError) {
            RelayError error = errorOf(fetch);
            EXPECT_EQ(error.kind(), *c.fetchError);
            EXPECT_EQ(error.what(), c.description);
            if (error.kind() == RelayError::Kind::http) {
                EXPECT_EQ(error.status(), c.status);
            }
        } else {
            EXPECT_NO_THROW(fetch());
        }
        if (c.ackError) {
            RelayError error = errorOf(ack);
            EXPECT_EQ(error.kind(), *c.ackError);
            EXPECT_EQ(error.what(), c.description);
        } else {
            EXPECT_NO_THROW(ack()); // the ack's reply body is ignored, even an empty one
        }
    }
}

TEST_F(RelayClientTest, FailedReplyBodyIsNotRead) {
    // A non-2xx reply is judged by its status alone, even when its body is
    // a readable list of items or too large.
    answer(500, R"({"items":[{"id":"1","title":"t","allDay":true}]})");
    EXPECT_EQ(errorOf([&] { client().fetchPending(); }).kind(), RelayError::Kind::http);
    p.http.responder = [](const HttpRequest&) { return HttpResponse{401, "", true}; };
    EXPECT_EQ(errorOf([&] { client().fetchPending(); }).kind(), RelayError::Kind::unauthorized);
}

TEST_F(RelayClientTest, TooLargeReplyIsMalformedButAnAckStillSucceeds) {
    p.http.responder = [](const HttpRequest&) { return HttpResponse{200, "", true}; };
    RelayError error = errorOf([&] { client().fetchPending(); });
    EXPECT_EQ(error.kind(), RelayError::Kind::malformed);
    EXPECT_STREQ(error.what(), "Could not read the backend's reply: the reply is larger than 16 MiB");
    EXPECT_NO_THROW(client().ack({"1"}, {}));
}

TEST_F(RelayClientTest, TransportErrorsCarryThePlatformDescription) {
    p.http.responder = [](const HttpRequest&) -> HttpResponse {
        throw platform::HttpTransportError("Failed to connect to 127.0.0.1 port 9: Connection refused");
    };
    for (auto call : std::vector<std::function<void()>>{[&] { client().fetchPending(); }, [&] { client().ack({}, {}); }}) {
        RelayError error = errorOf(call);
        EXPECT_EQ(error.kind(), RelayError::Kind::transport);
        EXPECT_EQ(error.message(), "Failed to connect to 127.0.0.1 port 9: Connection refused");
        EXPECT_STREQ(error.what(), "Could not reach the backend: Failed to connect to 127.0.0.1 port 9: Connection refused");
    }
}

TEST_F(RelayClientTest, NoErrorTextCarriesTheToken) {
    std::vector<std::function<HttpResponse(const HttpRequest&)>> responders = {
        [](const HttpRequest& r) -> HttpResponse { throw platform::HttpTransportError("sent " + r.headers.at(0).second); },
        [](const HttpRequest&) {
            return HttpResponse{200, "{\"items\": " + token + "}", false};
        },
        [](const HttpRequest&) {
            return HttpResponse{200, "{\"items\":[{\"id\":\"" + token + "\"}]}", false};
        },
        [](const HttpRequest&) {
            return HttpResponse{401, token, false};
        },
        [](const HttpRequest&) {
            return HttpResponse{500, token, false};
        },
    };
    for (auto& responder : responders) {
        p.http.responder = responder;
        for (auto call : std::vector<std::function<void()>>{[&] { client().fetchPending(); }, [&] { client().ack({}, {}); }}) {
            try {
                call();
            } catch (const RelayError& error) {
                EXPECT_THAT(error.what(), Not(HasSubstr(token)));
                EXPECT_THAT(error.message(), Not(HasSubstr(token)));
            }
        }
    }
}

TEST_F(RelayClientTest, DecodesItemsInOrderWithOptionalMembers) {
    auto items = RelayClient::decodePending(R"({"extra":{"x":[1,2]},"items":[
        {"id":"1","title":"Milk","notes":"2 l","dueIso":"2026-01-02","allDay":true,"list":"Shop","colour":"red"},
        {"id":"2","title":"Call","notes":null,"dueIso":null,"allDay":false,"list":null},
        {"id":"3","title":"[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[\"{{","allDay":false}
    ]})");
    std::vector<RelayItem> expected{
        {"1", "Milk", "2 l", "2026-01-02", true, "Shop"},
        {"2", "Call", std::nullopt, std::nullopt, false, std::nullopt},
        {"3", std::string(70, '[') + "\"{{", std::nullopt, std::nullopt, false, std::nullopt},
    };
    EXPECT_EQ(items, expected);
}

TEST_F(RelayClientTest, StrictDecodingRejectsTheWholeReply) {
    const std::string good = R"("id":"1","title":"t","allDay":true)";
    struct Case {
        std::string body;
        std::string message;
    } cases[] = {
        {"", "the reply is empty"},
        {"{", "the reply is not valid JSON (error at byte 2)"},
        {R"({"items":[]} x)", "the reply is not valid JSON (error at byte 14)"},
        {"[]", "the reply is not a JSON object"},
        {"{}", "\"items\" is missing"},
        {R"({"items":null})", "\"items\" is not an array"},
        {R"({"items":[{)" + good + R"(}, 5]})", "item 1 is not an object"},
        {R"({"items":[{"id":"1","title":"t"}]})", "item 0: \"allDay\" is missing"},
        {R"({"items":[{"id":"1","title":"t","allDay":"true"}]})", "item 0: \"allDay\" is not a boolean"},
        {R"({"items":[{"title":"t","allDay":true}]})", "item 0: \"id\" is missing"},
        {R"({"items":[{"id":7,"title":"t","allDay":true}]})", "item 0: \"id\" is not a string"},
        {R"({"items":[{"id":"1","allDay":true}]})", "item 0: \"title\" is missing"},
        {R"({"items":[{)" + good + R"(,"notes":3}]})", "item 0: \"notes\" is not a string"},
        {R"({"items":[{)" + good + R"(,"dueIso":false}]})", "item 0: \"dueIso\" is not a string"},
        {R"({"items":[{)" + good + R"(,"list":["a"]}]})", "item 0: \"list\" is not a string"},
        {"{\"items\":[{\"id\":\"1\",\"title\":\"\xff\",\"allDay\":true}]}", "the reply is not valid JSON (error at byte 30)"},
        {R"({"items":[{)" + good + R"(,"x":1e999}]})", "the reply holds a number too large to read"},
        {R"({"items":[],"x":)" + std::string(100, '[') + std::string(100, ']') + "}",
         "the reply is nested more than 64 levels deep"},
        {R"({"items":[],"x":1e999})", "the reply holds a number too large to read"},
    };
    for (const auto& c : cases) {
        try {
            RelayClient::decodePending(c.body);
            ADD_FAILURE() << "accepted " << c.body;
        } catch (const RelayError& error) {
            EXPECT_EQ(error.kind(), RelayError::Kind::malformed) << c.body;
            EXPECT_EQ(error.message(), c.message) << c.body;
        }
    }
}

TEST_F(RelayClientTest, AckRepairsListNamesThatAreNotUtf8) {
    EXPECT_EQ(RelayClient::encodeAck({"1"}, {"Caf\xe9"}), "{\"ids\":[\"1\"],\"lists\":[\"Caf\xEF\xBF\xBD\"]}");
}

} // namespace
