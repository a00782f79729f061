#include "Support/FakePlatform.h"
#include "TavrelinMac/RelayClient.h"

#include <gtest/gtest.h>

#include <functional>

using namespace tavrelin;
using platform::HttpRequest;
using platform::HttpResponse;
using Kind = RelayError::Kind;

namespace {

const std::string token = "rk_0123456789abcdef";

struct RelayClientTest : ::testing::Test {
    fake::FakeHttp http;
    fake::FakeBundle bundle;
    AppInfo appInfo{bundle};

    RelayClient client(std::string apiBase = "https://relay.example") {
        return RelayClient(Pairing{std::move(apiBase), token, {}}, http, appInfo);
    }
    void answer(long status, std::string body, bool tooLarge = false) {
        http.responder = [=](const HttpRequest&) { return HttpResponse{status, body, tooLarge}; };
    }
};

// The RelayError `call` throws; a malformed "none" when it throws nothing.
RelayError errorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const RelayError& error) {
        return error;
    }
    return RelayError::malformed("none");
}

} // namespace

TEST_F(RelayClientTest, BuildsBothRequestsWithTheirHeadersAndTheExactAckBody) {
    auto c = client("http://127.0.0.1:8080/base");
    EXPECT_TRUE(c.fetchPending().empty());
    c.ack({"a", "b\"q"}, {"Work", "Caf\xe9"}); // a list name that is not UTF-8 is repaired
    const HttpRequest &get = http.requests.at(0), &ack = http.requests.at(1);
    EXPECT_EQ(get.method + " " + get.url, "GET http://127.0.0.1:8080/base/relay/device/pending");
    EXPECT_EQ(ack.method + " " + ack.url, "POST http://127.0.0.1:8080/base/relay/device/ack");
    std::vector<std::pair<std::string, std::string>> headers{
        {"Authorization", "Bearer " + token}, {"Accept", "application/json"}, {"User-Agent", "TavrelinMac/1.4.2"}};
    EXPECT_EQ(get.headers, headers);
    headers.emplace_back("Content-Type", "application/json");
    EXPECT_EQ(ack.headers, headers);
    EXPECT_EQ(ack.body, "{\"ids\":[\"a\",\"b\\\"q\"],\"lists\":[\"Work\",\"Caf\xEF\xBF\xBD\"]}");
    ASSERT_EQ(http.sessions.size(), 1u);
    EXPECT_EQ(http.sessions[0].resourceTimeout, 30);

    // The address is the plain concatenation; it needs a scheme and a host.
    EXPECT_EQ(client("https://relay.example?x=1").request("/p", "GET")->url, "https://relay.example?x=1/p");
    for (const char* bad : {"relay.example", "https://", "mailto:someone"})
        EXPECT_FALSE(client(bad).request("/p", "GET")) << bad;
    auto unusable = client("not a url");
    EXPECT_EQ(errorOf([&] { unusable.fetchPending(); }).message(), "bad pairing URL");
    EXPECT_EQ(errorOf([&] { unusable.ack({"x"}, {}); }).message(), "bad pairing URL");
    EXPECT_EQ(http.requests.size(), 2u);
}

TEST_F(RelayClientTest, EachReplyIsJudgedByItsStatusFirst) {
    const std::string items = R"({"items":[{"id":"1","title":"t","allDay":true}]})";
    struct Case {
        long status;
        std::string body;
        bool tooLarge;
        std::optional<Kind> fetchError, ackError; // none: success
    } cases[] = {
        {200, items, false, {}, {}},
        {299, items, false, {}, {}},
        {204, "", false, Kind::malformed, {}}, // an ack's reply body is not read
        {200, "", true, Kind::malformed, {}},
        {401, items, false, Kind::unauthorized, Kind::unauthorized},
        {403, "", true, Kind::unauthorized, Kind::unauthorized},
        {500, items, false, Kind::http, Kind::http},
        {199, "", false, Kind::http, Kind::http},
        {300, "", false, Kind::http, Kind::http},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        answer(c.status, c.body, c.tooLarge);
        RelayError fetch = errorOf([&] { client().fetchPending(); });
        RelayError ack = errorOf([&] { client().ack({"1"}, {"L"}); });
        EXPECT_EQ(fetch.message() == "none" ? std::nullopt : std::optional(fetch.kind()), c.fetchError);
        EXPECT_EQ(ack.message() == "none" ? std::nullopt : std::optional(ack.kind()), c.ackError);
        EXPECT_EQ(fetch.status(), c.fetchError == Kind::http ? c.status : 0);
    }
    answer(200, "", true);
    EXPECT_STREQ(errorOf([&] { client().fetchPending(); }).what(),
                 "Could not read the backend's reply: the reply is larger than 16 MiB");

    http.responder = [](const HttpRequest& r) -> HttpResponse {
        throw platform::HttpTransportError("refused, sent " + r.headers.at(0).second);
    };
    for (RelayError error : {errorOf([&] { client().fetchPending(); }), errorOf([&] { client().ack({}, {}); })}) {
        EXPECT_EQ(error.kind(), Kind::transport);
        EXPECT_STREQ(error.what(), "Could not reach the backend: refused, sent Bearer rk_…");
    }
}

TEST(RelayDecoding, ItemsInOrderWithOptionalMembersAndNothingElse) {
    auto items = RelayClient::decodePending(R"({"extra":{"x":[1,2]},"items":[
        {"id":"1","title":"Milk","notes":"2 l","dueIso":"2026-01-02","allDay":true,"list":"Shop","colour":"red"},
        {"id":"2","title":"Call","notes":null,"dueIso":null,"allDay":false,"list":null}]})");
    std::vector<RelayItem> expected{{"1", "Milk", "2 l", "2026-01-02", true, "Shop"},
                                    {"2", "Call", std::nullopt, std::nullopt, false, std::nullopt}};
    EXPECT_EQ(items, expected);

    // Anything else refuses the whole reply.
    const std::string good = R"("id":"1","title":"t","allDay":true)";
    const std::pair<std::string, std::string> cases[] = {
        {"", "the reply is empty"},
        {R"({"items":[]} x)", "the reply is not valid JSON (error at byte 14)"},
        {"[]", "the reply is not a JSON object"},
        {"{}", "\"items\" is missing"},
        {R"({"items":null})", "\"items\" is not an array"},
        {R"({"items":[{)" + good + R"(}, 5]})", "item 1 is not an object"},
        {R"({"items":[{"id":"1","title":"t","allDay":"true"}]})", "item 0: \"allDay\" is not a boolean"},
        {R"({"items":[{"title":"t","allDay":true}]})", "item 0: \"id\" is missing"},
        {R"({"items":[{"id":7,"title":"t","allDay":true}]})", "item 0: \"id\" is not a string"},
        {R"({"items":[{)" + good + R"(,"notes":3}]})", "item 0: \"notes\" is not a string"},
        {"{\"items\":[{\"id\":\"1\",\"title\":\"\xff\",\"allDay\":true}]}", "the reply is not valid JSON (error at byte 30)"},
        {R"({"items":[],"x":1e999})", "the reply holds a number too large to read"},
        {R"({"x":")" + std::string(70, '[') + R"(\"","items":[]})", ""}, // brackets inside strings do not nest
        {R"({"items":[],"x":)" + std::string(65, '[') + std::string(65, ']') + "}",
         "the reply is nested more than 64 levels deep"},
    };
    for (const auto& [body, message] : cases) {
        RelayError error = errorOf([&] { RelayClient::decodePending(body); });
        EXPECT_EQ(error.kind(), Kind::malformed) << body;
        EXPECT_EQ(error.message(), message.empty() ? "none" : message) << body;
    }
}
