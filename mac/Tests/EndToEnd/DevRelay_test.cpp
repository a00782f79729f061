// The built development relay on its own, for what the end-to-end tests that
// drive it would not notice: it answers device requests only with a token,
// makes one up when given none, and will not listen beyond loopback.

#include "Platform/Curl/CurlHttp.h"
#include "Support/DevRelayProcess.h"

#include <gtest/gtest.h>

using namespace tavrelin::testing;

TEST(DevRelay, AnswersOnlyWithATokenMakesOneUpAndStaysOnLoopback) {
    const std::string program = (buildDir() / "tools/dev-relay").string();
    tavrelin::curl::CurlHttp http;
    DevRelayProcess relay{program, "rk_devrelaytest_a", http, true};
    EXPECT_THROW(relay.get("/relay/device/pending"), std::runtime_error);

    Child generated({program}), refused({program, "--host", "0.0.0.0"});
    EXPECT_TRUE(generated.await("tavrelin://pair?token=rk_"));
    EXPECT_EQ(refused.wait(), 2);
}
