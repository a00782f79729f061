// The built development relay as a process, driven by the relay client over
// curl and through its development endpoints.

#include "Platform/Curl/CurlHttp.h"
#include "Support/DevRelayProcess.h"
#include "Support/FakePlatform.h"
#include "TavrelinMac/RelayClient.h"

#include <gtest/gtest.h>

#include <regex>

using namespace tavrelin;
using namespace tavrelin::testing;
using nlohmann::json;

const std::string program = (buildDir() / "tools/dev-relay").string(), tokenA = "rk_devrelaytest_a",
                  tokenB = "rk_devrelaytest_b";

struct DevRelayTest : ::testing::Test {
    curl::CurlHttp http;
    DevRelayProcess relay{program, tokenA, http, true, {"--token", tokenB}};
    fake::FakeBundle bundle;
    AppInfo appInfo{bundle};

    RelayClient client(const std::string& token = tokenA, platform::HttpSessionConfig config = {}) {
        return RelayClient(Pairing{relay.api(), token, {}}, http, appInfo, config);
    }
    static RelayError errorOf(const std::function<void()>& action) {
        try {
            action();
        } catch (const RelayError& error) {
            return error;
        }
        throw std::logic_error("no RelayError");
    }
};

TEST_F(DevRelayTest, QueuesUntilAcknowledgedPerTokenAndKeepsTheTokenToItself) {
    relay.post("/dev/enqueue", json::array({{{"id", "a1"}, {"title", "One"}, {"allDay", true}, {"list", "Home"}},
                                            {{"title", "Two"}, {"allDay", false}, {"dueIso", "2026-12-07T09:30"}}}));
    relay.post("/dev/enqueue?token=" + tokenB, {{"id", "b1"}, {"title", "Other"}, {"allDay", true}});
    EXPECT_THROW(relay.post("/dev/enqueue?token=rk_unknown_token", {{"title", "x"}, {"allDay", true}}), std::runtime_error);

    auto a = client();
    const auto items = a.fetchPending();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0], (RelayItem{"a1", "One", std::nullopt, std::nullopt, true, "Home"}));
    a.ack({"a1"}, {"Home", "Work"});
    EXPECT_EQ(a.fetchPending(), std::vector{items[1]}); // the unacknowledged one is offered again
    EXPECT_EQ(client(tokenB).fetchPending().at(0).id, "b1");
    EXPECT_EQ(errorOf([&] { client("rk_unknown_token").fetchPending(); }).kind(), RelayError::Kind::unauthorized);

    json state = relay.get("/dev/state");
    EXPECT_EQ(state["tokens"][0]["acks"], json::array({{{"ids", {"a1"}}, {"lists", {"Home", "Work"}}}}));
    EXPECT_EQ(state["tokens"][0]["lastLists"], json::array({"Home", "Work"}));
    EXPECT_EQ(state["requests"][1]["body"], R"({"ids":["a1"],"lists":["Home","Work"]})");
    relay.post("/dev/reset", nullptr);
    EXPECT_EQ(relay.get("/dev/stats")["pending"], json::array({0, 0}));
    // The token is in the pairing link and nowhere else.
    const std::string output = relay.process().output();
    EXPECT_EQ(output.find("rk_"), output.rfind("rk_")) << output;

    Child generated({program}), refused({program, "--host", "0.0.0.0"});
    EXPECT_TRUE(generated.await("tavrelin://pair?token=rk_"));
    EXPECT_TRUE(std::regex_match(generated.await("\n").value_or(""), std::regex(R"([A-Za-z0-9]{24}&api=\S+\n)")));
    EXPECT_EQ(refused.wait(), 2);
    EXPECT_EQ(refused.output().find("tavrelin://"), std::string::npos);
}

TEST_F(DevRelayTest, InjectedFaultsReachTheClientAsTheirKinds) {
    relay.post("/dev/enqueue", {{"id", "x"}, {"title", "t"}, {"allDay", true}});
    for (const json& fault : {json{{"status", 503}, {"count", 2}}, json{{"unauthorized", true}}, json{{"body", "malformed"}},
                              json{{"body", "truncated"}}, json{{"status", 500}, {"path", "/relay/device/ack"}}})
        relay.post("/dev/fault", fault);
    EXPECT_THROW(relay.post("/dev/fault", {{"body", "sideways"}}), std::runtime_error);

    auto c = client();
    for (long status : {503, 503})
        EXPECT_EQ(errorOf([&] { c.fetchPending(); }).status(), status);
    for (auto kind : {RelayError::Kind::unauthorized, RelayError::Kind::malformed, RelayError::Kind::malformed})
        EXPECT_EQ(errorOf([&] { c.fetchPending(); }).kind(), kind);
    EXPECT_EQ(c.fetchPending().size(), 1u); // the ack fault waited for an ack
    EXPECT_EQ(errorOf([&] { c.ack({"x"}, {}); }).status(), 500);
    EXPECT_EQ(c.fetchPending().size(), 1u); // a failed ack removes nothing
    c.ack({"x"}, {});
    EXPECT_TRUE(c.fetchPending().empty());
    relay.post("/dev/fault", {{"delayMs", 800}}); // longer than the client's patience
    EXPECT_EQ(errorOf([&] { client(tokenA, {0.2, 5}).fetchPending(); }).kind(), RelayError::Kind::transport);
    EXPECT_TRUE(relay.get("/dev/state")["faults"].empty());
}
