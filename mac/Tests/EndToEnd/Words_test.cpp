// The built agent speaks the words of its build: what it prints in a session
// (welcome, pairing, the menu before and after, the unpair question) names
// the task-list folder it really files into, and the Linux words never speak
// of a Mac. The sentences themselves are checked in Texts_test.

#include "Platform/Curl/CurlHttp.h"
#include "Support/AgentProcess.h"
#include "TavrelinMac/Words.h"

#include <gtest/gtest.h>

using namespace tavrelin;
using namespace tavrelin::testing;

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

TEST(Words, ASessionOfTheBuiltAgentNamesWhereRemindersGoAndNeverAMacInTheLinuxWords) {
    AgentHome home{"remindersBackend=vdir\n"};
    makeList(home.lists, "inbox", "Inbox");
    curl::CurlHttp http;
    DevRelayProcess relay{(buildDir() / "tools/dev-relay").string(), "rk_wordstest00001", http, true};
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
    // The first poll may end while the last dialog is still open.
    const std::string connected = "[status] " + words::menu::header(words::health::connected());
    ASSERT_TRUE(eventually([&] { return agent->output().find(connected) != std::string::npos; })) << agent->output();
    agent->send("menu");
    ASSERT_TRUE(agent->await("[end]\n")) << agent->output();
    agent->send(words::menu::unpair());
    answer("2"); // cancel
    agent->send("quit");
    ASSERT_EQ(agent->wait(), 0) << agent->output();

    const std::string output = agent->output();
    const auto place = platform::RemindersPlace::taskListFolder;
    EXPECT_NE(output.find(words::pairing::pairedText("127.0.0.1", place)), std::string::npos) << output;
    EXPECT_NE(output.find("\n" + words::module::title(place) + "\n"), std::string::npos) << output;
    EXPECT_NE(output.find(words::menu::unpairText(place)), std::string::npos) << output;
    if (words::forMacOS)
        return;
    for (const auto& text : shownTexts(output))
        for (const char* word : {"Mac", "macOS", "Apple", "Dock", "menu bar", "notariz"})
            EXPECT_EQ(text.find(word), std::string::npos) << "“" << word << "” in:\n" << text;
}
