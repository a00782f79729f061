// The built agent on a session that runs Evolution Data Server: with the
// default backend setting it picks EDS, pairs with the dev relay by a link,
// and files the relay's items into the task list they name (a list it
// cannot find is the delivery logic's and the EDS adapter test's).

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
    DevRelayProcess relay((buildDir() / "tools/dev-relay").string(), "rk_agentedsendtoend01", http, true);
    relay.post("/dev/enqueue",
               json::array({{{"id", "dentist"}, {"title", "Call the dentist"}, {"allDay", false}, {"list", "Reminders"}},
                            {{"id", "rent"}, {"title", "Pay rent"}, {"allDay", true}, {"list", "Reminders"}}}));

    writeSettings(session.root() / "config"); // no backend setting: auto
    auto agent = startPaired(session.environment(), relay);
    ASSERT_TRUE(eventually([&] { return relay.get("/dev/state")["tokens"][0]["pending"].empty(); })) << agent->output();

    std::set<std::string> summaries;
    for (const auto& [uid, ical] : lists.todos(reminders))
        summaries.insert(EdsTaskLists::property(ical, "SUMMARY"));
    EXPECT_EQ(summaries, (std::set<std::string>{"SUMMARY:Call the dentist", "SUMMARY:Pay rent"}));
    EXPECT_FALSE(std::filesystem::exists(session.root() / "data/calendars")); // nothing went to a vdir
    agent->send("quit");
    EXPECT_EQ(agent->wait(), 0) << agent->output();
}
