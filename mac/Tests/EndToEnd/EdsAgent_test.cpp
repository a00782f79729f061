// The built agent on a session that runs Evolution Data Server, with the
// default backend setting; its calendar factory dies and comes back. (A list
// it cannot find is the delivery logic's and the EDS adapter test's.)

#include "Platform/Curl/CurlHttp.h"
#include "Support/AgentProcess.h"
#include "Support/EdsSession.h"
#include "Support/EdsTaskLists.h"

#include <gtest/gtest.h>

#include <set>

using namespace tavrelin::testing;
using json = nlohmann::json;

TEST(EdsAgent, PairsAndFilesIntoEvolutionDataServer) {
    EdsSession session;
    session.enter();
    EdsTaskLists lists;
    const std::string reminders = lists.create("Reminders");
    tavrelin::curl::CurlHttp http;
    DevRelayProcess relay((buildDir() / "tools/dev-relay").string(), "rk_agentedsendtoend01", http);
    relay.post("/dev/enqueue",
               json::array({{{"id", "dentist"}, {"title", "Call the dentist"}, {"allDay", false}, {"list", "Reminders"}},
                            {{"id", "rent"}, {"title", "Pay rent"}, {"allDay", true}, {"list", "Reminders"}}}));

    writeSettings(session.root() / "config"); // no backend setting: auto
    auto agent = startAgent(session.environment(), {relay.link()});
    for (const char* answer : {"1", "1"}) { // pair, then OK
        ASSERT_TRUE(agent->await("[end]\n")) << agent->output();
        agent->send(answer);
    }
    ASSERT_TRUE(eventually([&] { return relay.get("/dev/state")["tokens"][0]["pending"].empty(); })) << agent->output();

    std::set<std::string> summaries;
    for (const auto& [uid, ical] : lists.todos(reminders))
        summaries.insert(EdsTaskLists::property(ical, "SUMMARY"));
    EXPECT_EQ(summaries, (std::set<std::string>{"SUMMARY:Call the dentist", "SUMMARY:Pay rent"}));
    EXPECT_FALSE(std::filesystem::exists(session.root() / "data/calendars")); // nothing went to a vdir

    ASSERT_TRUE(menuShows(*agent, "2 reminders filed this session")) << agent->output(); // so Check now is not ignored

    session.signalCalendarFactory(SIGKILL);
    relay.post("/dev/enqueue", json::array({{{"id", "milk"}, {"title", "Buy milk"}, {"allDay", true}, {"list", "Reminders"}}}));
    agent->send("Check now");
    ASSERT_TRUE(agent->await("error failed milk: Evolution Data Server is not answering\n")) << agent->output();
    ASSERT_TRUE(menuShows(*agent, "1 couldn’t be saved: Evolution Data Server is not answering — still retrying"))
        << agent->output();
    EXPECT_EQ(relay.get("/dev/state")["tokens"][0]["pending"].size(), 1u);

    session.startCalendarFactory();
    agent->send("Check now");
    ASSERT_TRUE(agent->await("delivered milk -> list Reminders\n")) << agent->output();
    ASSERT_TRUE(eventually([&] { return relay.get("/dev/state")["tokens"][0]["pending"].empty(); })) << agent->output();
    EXPECT_EQ(lists.todos(reminders).size(), 3u);
    EXPECT_EQ(agent->output().find("CRITICAL"), std::string::npos) << agent->output();
    EXPECT_EQ(agent->output().find("read-only"), std::string::npos) << agent->output();
    agent->send("quit");
    EXPECT_EQ(agent->wait(), 0) << agent->output();
}
