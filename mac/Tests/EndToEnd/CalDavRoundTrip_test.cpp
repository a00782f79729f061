// What the agent files must be iCalendar a real CalDAV server takes and gives
// back unchanged: the built agent files items of every kind into a vdir;
// vdirsyncer uploads it to a Radicale server on loopback and downloads it
// into a second vdir; both are read with libical and compared.

#include "Platform/Curl/CurlHttp.h"
#include "Support/AgentProcess.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace tavrelin::testing;
using json = nlohmann::json;

TEST(CalDavRoundTrip, WhatTheAgentFilesComesBackFromTheServerUnchanged) {
    AgentHome home;
    makeList(home.lists, "reminders", "Reminders");
    const std::string longTitle = "A long title that iCalendar folds over several lines: " + std::string(20, 'x') +
                                  " — ünïcödé, “quotes”, 日本語のテキスト, and 🎉 emoji across the fold";
    json items = json::array({
        {{"title", "Call the dentist"}, {"dueIso", "2030-05-04T09:30:00Z"}, {"allDay", false}},
        {{"title", "Pay the rent"}, {"dueIso", "2030-06-01"}, {"allDay", true}},
        {{"title", "Pack"}, {"notes", "Passport, charger; adapter\nSPF: 50\r\nTab\there \\ back\\slash"}, {"allDay", false}},
        {{"title", "Unreadable date"}, {"dueIso", "next Tuesday"}, {"allDay", false}},
        {{"title", ""}, {"notes", "An item without a title"}, {"dueIso", "2030-09-09T08:00"}, {"allDay", false}},
        {{"title", longTitle}, {"notes", std::string(200, 'n')}, {"dueIso", "2030-12-31T23:59"}, {"allDay", false}},
    });
    tavrelin::curl::CurlHttp http;
    DevRelayProcess relay((buildDir() / "tools/dev-relay").string(), "rk_caldavroundtrip01", http, true);
    for (auto& item : items)
        item["list"] = "Reminders";
    relay.post("/dev/enqueue", items);
    auto agent = startPaired(home.environment, relay);
    ASSERT_TRUE(eventually([&] { return relay.get("/dev/state")["tokens"][0]["pending"].empty(); })) << agent->output();
    EXPECT_EQ(agent->kill(SIGTERM), 0);
    const auto filed = readLists(home.lists);
    ASSERT_EQ(filed.tasks.size(), items.size());

    auto tools = home.environment;
    tools["LANG"] = "C.UTF-8";
    Child server({"/usr/bin/radicale", "--config", "", "--logging-level", "info", "--server-hosts", "127.0.0.1:0",
                  "--auth-type", "none", "--storage-filesystem-folder", (home.root / "server").string()},
                 tools);
    ASSERT_TRUE(server.await("Listening on '[127.0.0.1]:")) << server.output();
    const std::string port = server.await("'").value_or("'");
    ASSERT_TRUE(server.await("Radicale server ready")) << server.output();

    // Up from the agent's vdir, down into a second one; the list's title travels as metadata.
    std::ostringstream config;
    config << "[general]\nstatus_path = \"" << (home.root / "status").string() << "/\"\n";
    for (const auto& [pair, from, to] : {std::tuple{"up", "agent", "server"}, std::tuple{"down", "server", "back"}})
        config << "[pair " << pair << "]\na = \"" << from << "\"\nb = \"" << to << "\"\ncollections = [\"from a\"]\n"
               << "metadata = [\"displayname\"]\nconflict_resolution = \"a wins\"\n";
    for (const auto& [name, folder] : {std::pair{"agent", home.lists}, std::pair{"back", home.root / "back"}})
        config << "[storage " << name << "]\ntype = \"filesystem\"\npath = \"" << folder.string()
               << "/\"\nfileext = \".ics\"\n";
    config << "[storage server]\ntype = \"caldav\"\nurl = \"http://127.0.0.1:" << port.substr(0, port.size() - 1)
           << "/\"\nusername = \"tavrelin\"\npassword = \"roundtrip\"\n";
    writeText(home.root / "vdirsyncer.conf", config.str());
    for (const std::string verb : {"discover", "sync", "metasync"})
        for (const std::string pair : {"up", "down"}) {
            Child sync({"/usr/bin/vdirsyncer", "--config", (home.root / "vdirsyncer.conf").string(), verb, pair}, tools);
            sync.send("y\ny"); // create the collection where it is missing
            sync.closeInput();
            ASSERT_EQ(sync.wait(), 0) << verb << " " << pair << ":\n" << sync.output() << server.output();
        }

    // The same tasks on both sides, the list's title included. What the agent
    // writes for what it was sent is the vdir adapter test's.
    const auto back = readLists(home.root / "back");
    EXPECT_EQ(back.tasks, filed.tasks);
    EXPECT_EQ(readFile((home.root / "back/reminders/displayname").string()), "Reminders");
}
