// The built development relay as a process, driven by the relay client over
// curl and through its development endpoints. What the other end-to-end tests
// rely on without noticing its loss is checked here: a refused acknowledgement
// removes nothing, a delay, and that it stays on loopback and keeps its token
// out of its output.

#include "Platform/Curl/CurlHttp.h"
#include "Support/DevRelayProcess.h"
#include "Support/FakePlatform.h"
#include "TavrelinMac/RelayClient.h"

#include <gtest/gtest.h>

#include <regex>

using namespace tavrelin;
using namespace tavrelin::testing;
using nlohmann::json;

static RelayError errorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const RelayError& error) {
        return error;
    }
    throw std::logic_error("no RelayError");
}

TEST(DevRelay, QueuesUntilAcknowledgedInjectsFaultsAndKeepsTheTokenToItself) {
    const std::string program = (buildDir() / "tools/dev-relay").string(), token = "rk_devrelaytest_a";
    curl::CurlHttp http;
    DevRelayProcess relay{program, token, http, true};
    fake::FakeBundle bundle;
    AppInfo appInfo{bundle};
    const auto client = [&](const std::string& as, platform::HttpSessionConfig config = {}) {
        return RelayClient(Pairing{relay.api(), as, {}}, http, appInfo, config);
    };
    relay.post("/dev/enqueue", json::array({{{"id", "a1"}, {"title", "One"}, {"allDay", true}, {"list", "Home"}},
                                            {{"title", "Two"}, {"allDay", false}, {"dueIso", "2026-12-07T09:30"}}}));
    relay.post("/dev/fault", {{"status", 500}, {"path", "/relay/device/ack"}});

    auto a = client(token);
    const auto items = a.fetchPending();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0], (RelayItem{"a1", "One", std::nullopt, std::nullopt, true, "Home"}));
    EXPECT_EQ(errorOf([&] { a.ack({"a1"}, {}); }).status(), 500);
    EXPECT_EQ(a.fetchPending(), items); // a refused acknowledgement removes nothing
    a.ack({"a1"}, {"Home"});
    EXPECT_EQ(a.fetchPending(), std::vector{items[1]}); // the unacknowledged one is offered again
    EXPECT_EQ(errorOf([&] { client("rk_unknown_token").fetchPending(); }).kind(), RelayError::Kind::unauthorized);
    relay.post("/dev/fault", {{"delayMs", 800}}); // longer than the client's patience
    EXPECT_EQ(errorOf([&] { client(token, {0.2, 5}).fetchPending(); }).kind(), RelayError::Kind::transport);
    // The token is in the pairing link and nowhere else.
    const std::string output = relay.process().output();
    EXPECT_EQ(output.find("rk_"), output.rfind("rk_")) << output;

    Child generated({program}), refused({program, "--host", "0.0.0.0"});
    EXPECT_TRUE(generated.await("tavrelin://pair?token=rk_"));
    EXPECT_TRUE(std::regex_match(generated.await("\n").value_or(""), std::regex(R"([A-Za-z0-9]{24}&api=\S+\n)")));
    EXPECT_EQ(refused.wait(), 2);
    EXPECT_EQ(refused.output().find("tavrelin://"), std::string::npos);
}
