// The installed agent in the sessions a person logs into: a Wayland
// compositor with no X server (weston, headless), displays that do not
// answer, and start at login switched from the command line while the agent
// runs. (A panel that comes after the autostart entries is the
// StatusNotifier test's.)
// Skipped (and reported so) when a tool is missing.

#include "Platform/Qt/DisplayProbe.h"
#include "Platform/Xdg/DesktopEntry.h"

#include "Support/AgentProcess.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace tavrelin;
using namespace tavrelin::testing;
namespace fs = std::filesystem;
using Environment = std::map<std::string, std::string>;

namespace {

const std::string settings = "[General]\ncom.tavrelin.mac.hasShownWelcome=true\nremindersBackend=vdir\n";

// The built bundle installed in the home folder, with its settings.
std::string install(const Environment& environment) {
    writeText(fs::path(environment.at("XDG_CONFIG_HOME")) / "Tavrelin/Tavrelin.ini", settings);
    return installCopy(environment.at("HOME"));
}

} // namespace

// Which display is tried, in which order, and what is said of those passed over.
TEST(Sessions, TheDisplayIsChosenInQtsOrderAndOnlyOneThatAnswers) {
    struct Row {
        qt::DisplayEnvironment environment;
        bool plugin;
        std::optional<std::string> platform;
        std::vector<std::string> problems;
    };
    const std::string runtime = "/run/user/1000";
    const Row rows[] = {
        {{"", "wayland-1", runtime, ":0", ""}, true, "wayland", {}},
        {{"", "wayland-9", runtime, ":0", ""}, true, "xcb", {"WAYLAND_DISPLAY=wayland-9 does not answer"}},
        {{"", "wayland-1", runtime, "", ""},
         false,
         {},
         {"WAYLAND_DISPLAY=wayland-1 answers, but Qt's Wayland platform plugin (qt6-wayland) is missing"}},
        {{"", "", runtime, "", "wayland"}, true, {}, {"WAYLAND_DISPLAY=wayland-0 does not answer"}},
        {{"", "/tmp/wayland-1", "", ":9", ""}, true, "wayland", {}},
        {{"", "wayland-1", "", ":9", ""},
         true,
         {},
         {"WAYLAND_DISPLAY=wayland-1 needs XDG_RUNTIME_DIR, which is not set", "DISPLAY=:9 does not answer"}},
        {{"", "", "", "", ""}, true, {}, {}},
        // QT_QPA_PLATFORM decides the order; a kind that needs no display is Qt's to open.
        {{"xcb;wayland", "wayland-1", runtime, ":0", ""}, true, "xcb", {}},
        {{"xcb", "wayland-1", runtime, ":9", ""}, true, {}, {"DISPLAY=:9 does not answer"}},
        {{"offscreen", "", "", "", ""}, true, "offscreen", {}},
    };
    const auto waylandAnswers = [&](const std::string& path) {
        return path == runtime + "/wayland-1" || path == "/tmp/wayland-1";
    };
    const auto x11Answers = [](const std::string& display) { return display == ":0"; };
    for (const auto& row : rows) {
        const qt::DisplayChoice choice = qt::chooseDisplay(row.environment, waylandAnswers, x11Answers, row.plugin);
        EXPECT_EQ(choice.platform, row.platform) << row.environment.waylandDisplay << " " << row.environment.x11Display;
        EXPECT_EQ(choice.problems, row.problems) << row.environment.waylandDisplay << " " << row.environment.x11Display;
    }
}

// Qt aborts when the display it picks does not answer; the agent asks first.
TEST(Sessions, TheAgentRunsUnderWaylandAloneAndCarriesOnWhenNoDisplayAnswers) {
    if (!installed("/usr/bin/weston"))
        GTEST_SKIP() << "weston is not installed (scripts/setup installs it)";
    TempFolder temp;
    const Environment folders = userFolders(temp.path());
    Child weston({"/usr/bin/weston", "--backend=headless-backend.so", "--socket=tavrelin-test", "--idle-time=0", "--no-config",
                  "--shell=kiosk-shell.so"},
                 withSanitizers({{"XDG_RUNTIME_DIR", folders.at("XDG_RUNTIME_DIR")}}));
    ASSERT_TRUE(eventually([&] { return fs::exists(folders.at("XDG_RUNTIME_DIR") + "/tavrelin-test"); }))
        << "weston did not come up:\n"
        << weston.output();
    const std::string agent = install(folders);

    // The displays named, and what the agent says of them.
    const std::pair<Environment, std::string> rows[] = {
        {{{"WAYLAND_DISPLAY", "tavrelin-test"}}, ""},
        {{{"WAYLAND_DISPLAY", "tavrelin-test"}, {"DISPLAY", ":7913"}}, ""},
        {{{"XDG_SESSION_TYPE", "wayland"}, {"WAYLAND_DISPLAY", "tavrelin-gone"}, {"DISPLAY", ":7913"}},
         "no display could be opened (WAYLAND_DISPLAY=tavrelin-gone does not answer; DISPLAY=:7913 does not answer)"},
        {{}, "no display could be opened (neither WAYLAND_DISPLAY nor DISPLAY is set)"},
    };
    for (const auto& [displays, said] : rows) {
        Environment environment = folders;
        environment.insert(displays.begin(), displays.end());
        const std::string shown = displays.empty() ? "none" : displays.begin()->second;
        Child running({agent}, withSanitizers(environment));
        ASSERT_TRUE(eventually([&] {
            return runToEnd({agent, "--status"}, environment).first == 0;
        })) << shown
            << "\n"
            << running.output();
        if (said.empty())
            EXPECT_EQ(running.output().find("no display"), std::string::npos) << shown << "\n" << running.output();
        else
            EXPECT_NE(running.output().find(said), std::string::npos) << shown << "\n" << running.output();
        EXPECT_EQ(runToEnd({agent, "--quit"}, environment).first, 0) << shown;
        EXPECT_EQ(running.wait(), 0) << shown << "\n" << running.output();
    }
}

TEST(Sessions, StartAtLoginSwitchedOnTheCommandLineReachesTheRunningAgentsMenu) {
    TempFolder temp;
    const Environment environment = userFolders(temp.path());
    const std::string agent = install(environment);
    const fs::path entry = fs::path(environment.at("XDG_CONFIG_HOME")) / "autostart" / xdg::desktopId;
    Child running({agent, "--headless"}, withSanitizers(environment));
    ASSERT_TRUE(menuShows(running, "[x] Start at Login")) << running.output();
    EXPECT_NE(readFile(entry).find("Exec=" + agent + "\n"), std::string::npos);

    // From any copy, with the agent running.
    const std::string other = (buildDir() / "Tavrelin.app/Contents/MacOS/tavrelin-agent").string();
    const auto [status, said] = runToEnd({other, "--start-at-login", "off"}, environment);
    EXPECT_EQ(status, 0);
    EXPECT_NE(said.find("\nStart at login is off.\n"), std::string::npos) << said;
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_TRUE(menuShows(running, "[ ] Start at Login")) << running.output();
    EXPECT_EQ(runToEnd({other, "--start-at-login", "on"}, environment).first, 0);
    EXPECT_NE(readFile(entry).find("Exec=" + agent + "\n"), std::string::npos);
    EXPECT_TRUE(menuShows(running, "[x] Start at Login")) << running.output();

    EXPECT_EQ(runToEnd({other, "--start-at-login", "maybe"}, environment).first, 2);
    running.send("quit");
    EXPECT_EQ(running.wait(), 0) << running.output();
}
