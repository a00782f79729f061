#include "Support/FakePlatform.h"
#include "TavrelinMac/RelayClient.h"

using namespace tavrelin;
using namespace tavrelin::platform;
using Kind = RelayError::Kind;
using fake::errorOf;

namespace {

const std::string token = "rk_0123456789abcdef";

struct RelayClientTest : ::testing::Test, fake::FakeServices {
    RelayClient client(std::string apiBase = "https://relay.example", HttpSessionConfig config = {}) {
        return RelayClient(Pairing{std::move(apiBase), token, {}}, http, appInfo, config);
    }
};

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

    auto unusable = client("https://"); // an address needs a scheme and a host
    EXPECT_EQ(errorOf([&] { unusable.fetchPending(); }).message(), "bad pairing URL");
    EXPECT_EQ(errorOf([&] { unusable.ack({"x"}, {}); }).message(), "bad pairing URL");
}

TEST_F(RelayClientTest, EachReplyIsJudgedByItsStatusFirst) {
    const std::string items = R"({"items":[{"id":"1","title":"t","allDay":true}]})";
    const std::string tooLarge(65, 'x'); // past the cap below
    // Status, body, then what fetching and acknowledging fail with (none: success).
    const std::tuple<long, std::string, std::optional<Kind>, std::optional<Kind>> cases[] = {
        {200, items, {}, {}},
        {204, "", Kind::malformed, {}}, // an ack's reply body is not read
        {403, tooLarge, Kind::unauthorized, Kind::unauthorized},
        {300, "", Kind::http, Kind::http},
        {500, tooLarge, Kind::http, Kind::http},
        {200, tooLarge, Kind::malformed, {}},
    };
    for (const auto& [status, body, fetchError, ackError] : cases) {
        SCOPED_TRACE(status);
        http.responder = [reply = HttpResponse{status, body}](const HttpRequest&) { return reply; };
        const HttpSessionConfig capped{.maxBodyBytes = 64};
        RelayError fetch = errorOf([&] { client("https://relay.example", capped).fetchPending(); });
        RelayError ack = errorOf([&] { client("https://relay.example", capped).ack({"1"}, {"L"}); });
        EXPECT_EQ(fetch.message() == "none" ? std::nullopt : std::optional(fetch.kind()), fetchError);
        EXPECT_EQ(ack.message() == "none" ? std::nullopt : std::optional(ack.kind()), ackError);
        EXPECT_EQ(fetch.status(), fetchError == Kind::http ? status : 0);
    }
    // Too large: the session's cap, named.
    for (const auto& cap : std::map<std::size_t, std::string>{{1 << 20, "1 MiB"}, {1024, "1 KiB"}, {1536, "1536 bytes"}}) {
        http.responder = [&](const HttpRequest&) { return HttpResponse{200, std::string(cap.first + 1, ' ')}; };
        EXPECT_STREQ(errorOf([&] { client("https://relay.example", {.maxBodyBytes = cap.first}).fetchPending(); }).what(),
                     ("Could not read the backend's reply: the reply is larger than " + cap.second).c_str());
    }
    http.responder = [](const HttpRequest& r) -> HttpResponse {
        throw HttpTransportError("refused, sent " + r.headers.at(0).second);
    };
    // Both requests go through one exchange: the acknowledgement's is the same.
    EXPECT_STREQ(errorOf([&] { client().fetchPending(); }).what(), "Could not reach the backend: refused, sent Bearer rk_…");
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
    std::string siblings;
    for (int i = 0; i < 70; ++i)
        siblings += "{},";
    const std::pair<std::string, std::string> cases[] = {
        {"", "the reply is empty"},
        {R"({"items":[]} x)", "the reply is not valid JSON (error at byte 14)"},
        {"{}", "\"items\" is missing"},
        {R"({"items":null})", "\"items\" is not an array"},
        {R"({"items":[{)" + good + R"(}, 5]})", "item 1 is not an object"},
        {R"({"items":[{"id":"1","title":"t","allDay":"true"}]})", "item 0: \"allDay\" is not a boolean"},
        {R"({"items":[{"title":"t","allDay":true}]})", "item 0: \"id\" is missing"},
        {R"({"items":[{"id":7,"title":"t","allDay":true}]})", "item 0: \"id\" is not a string"},
        {R"({"items":[{)" + good + R"(,"notes":3}]})", "item 0: \"notes\" is not a string"},
        {R"({"items":[],"x":1e999})", "the reply holds a number too large to read"},
        {R"({"x":")" + std::string(70, '[') + R"(\"","items":[]})", ""}, // brackets inside strings do not nest
        {R"({"items":[],"x":)" + std::string(65, '[') + std::string(65, ']') + "}",
         "the reply is nested more than 64 levels deep"},
        // The limit is on depth: 64 levels in all, and any number of siblings.
        {R"({"items":[],"x":)" + std::string(63, '[') + std::string(63, ']') + "}", ""},
        {R"({"items":[],"x":[)" + siblings + "{}]}", ""},
    };
    for (const auto& [body, message] : cases) {
        RelayError error = errorOf([&reply = body] { RelayClient::decodePending(reply); });
        EXPECT_EQ(error.kind(), Kind::malformed) << body;
        EXPECT_EQ(error.message(), message.empty() ? "none" : message) << body;
    }
}
