// A session of the built agent: welcomed, paired by a link, it files items of
// every kind into a vdir, and what it files must be iCalendar a real CalDAV
// server takes and gives back unchanged: vdirsyncer uploads it to a Radicale
// server on loopback and downloads it into a second vdir; both are read with
// libical and compared. What it prints speaks the words of its build: it
// names the task-list folder it really files into, and the Linux words never
// speak of a Mac (the sentences themselves are checked in Texts_test).

#include "Platform/Curl/CurlHttp.h"
#include "Support/AgentProcess.h"
#include "TavrelinMac/Words.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace tavrelin;
using namespace tavrelin::testing;
using json = nlohmann::json;

namespace {

// Every dialog, menu and tool tip the terminal front end printed.
std::vector<std::string> shownTexts(const std::string& output) {
    std::vector<std::string> texts;
    for (const std::string opening : {"[alert]", "[menu]", "[status]"}) {
        const std::string closing = opening == "[status]" ? "\n" : "[end]";
        for (auto at = output.find(opening); at != std::string::npos; at = output.find(opening, at + 1))
            texts.push_back(output.substr(at, output.find(closing, at) - at));
    }
    return texts;
}

} // namespace

TEST(CalDavRoundTrip, ASessionFilesWhatComesBackFromTheServerUnchangedInTheWordsOfItsBuild) {
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
    auto agent = startAgent(home.environment);
    auto answer = [&](const std::string& line) {
        ASSERT_TRUE(agent->await("[end]\n")) << agent->output();
        agent->send(line);
    };
    answer("1"); // the welcome, which then opens the menu
    ASSERT_TRUE(agent->await("[menu]") && agent->await("[end]\n")) << agent->output();
    agent->send("open " + relay.link());
    answer("1"); // pair
    answer("1"); // paired
    ASSERT_TRUE(eventually([&] { return relay.get("/dev/state")["tokens"][0]["pending"].empty(); })) << agent->output();
    agent->send("menu");
    ASSERT_TRUE(agent->await("[end]\n")) << agent->output();
    agent->send(words::menu::unpair());
    answer("2"); // cancel
    EXPECT_EQ(agent->kill(SIGTERM), 0);

    const std::string output = agent->output();
    const auto place = platform::RemindersPlace::taskListFolder;
    EXPECT_NE(output.find(words::pairing::pairedText("127.0.0.1", place)), std::string::npos) << output;
    EXPECT_NE(output.find("\n" + words::module::title(place) + "\n"), std::string::npos) << output;
    EXPECT_NE(output.find(words::menu::unpairText(place)), std::string::npos) << output;
    for (const auto& text : shownTexts(output))
        for (const char* word : {"Mac", "macOS", "Apple", "Dock", "menu bar", "notariz"})
            EXPECT_TRUE(words::forMacOS || text.find(word) == std::string::npos) << "“" << word << "” in:\n" << text;
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
