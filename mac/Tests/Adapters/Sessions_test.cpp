// The installed agent in the sessions a person logs into, and the desktop
// entries read back by the desktop's own tools (gio, xdg-mime,
// desktop-file-validate). Skipped (and reported so) when a tool is missing.

#include "Platform/Posix/PosixFiles.h"
#include "Platform/Qt/DisplayProbe.h"
#include "Platform/Xdg/DesktopEntry.h"
#include "Platform/Xdg/XdgLoginItems.h"
#include "Support/AgentProcess.h"
#include "Support/SpinEventLoop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

using namespace tavrelin;
using namespace tavrelin::testing;
namespace fs = std::filesystem;
using Environment = std::map<std::string, std::string>;
using Entry = platform::LoginItems::LoginEntry;

namespace {

// The built bundle installed in the home folder, with its settings.
std::string install(const Environment& environment) {
    writeSettings(environment.at("XDG_CONFIG_HOME"), "com.tavrelin.mac.hasShownWelcome=true\nremindersBackend=vdir\n");
    return installCopy(environment.at("HOME"));
}

// A bundle at `path` whose agent writes the arguments it was started with,
// one per line, into `record`.
std::string fakeBundle(const std::string& path, const std::string& record) {
    return writeProgram(path + "/Contents/MacOS/tavrelin-agent",
                        "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > '" + record + "'\n");
}

struct Desktop {
    TempFolder temp;
    std::string config = temp / "config", data = temp / "data";
    posix::PosixFiles files;
    xdg::XdgLoginItems items{files, config, data};
    Environment environment() const { return {{"HOME", temp.path()}, {"XDG_CONFIG_HOME", config}, {"XDG_DATA_HOME", data}}; }
};

} // namespace

// Which display is tried, in which order, and what is said of those passed over.
// (One that answers first, and none set at all: the agent under Weston below.)
TEST(Sessions, TheDisplayIsChosenInQtsOrderAndOnlyOneThatAnswers) {
    const std::string runtime = "/run/user/1000";
    // What is set, whether Qt's Wayland plugin is there, the platform chosen and what is said.
    const std::tuple<qt::DisplayEnvironment, bool, std::optional<std::string>, std::vector<std::string>> rows[] = {
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
        // QT_QPA_PLATFORM decides the order; a kind that needs no display is Qt's to open.
        {{"xcb;wayland", "wayland-1", runtime, ":0", ""}, true, "xcb", {}},
        {{"xcb", "wayland-1", runtime, ":9", ""}, true, {}, {"DISPLAY=:9 does not answer"}},
        {{"offscreen", "", "", "", ""}, true, "offscreen", {}},
    };
    const auto waylandAnswers = [&](const std::string& path) {
        return path == runtime + "/wayland-1" || path == "/tmp/wayland-1";
    };
    const auto x11Answers = [](const std::string& display) { return display == ":0"; };
    for (const auto& [environment, plugin, platform, problems] : rows) {
        const qt::DisplayChoice choice = qt::chooseDisplay(environment, waylandAnswers, x11Answers, plugin);
        EXPECT_EQ(std::tie(choice.platform, choice.problems), std::tie(platform, problems))
            << environment.waylandDisplay << " " << environment.x11Display;
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
        const auto answers = [&] { return runToEnd({agent, "--status"}, environment).first == 0; };
        ASSERT_TRUE(eventually(answers)) << shown << "\n" << running.output();
        // Nothing said of displays when one answers.
        EXPECT_EQ(running.output().find(said.empty() ? "no display" : said) != std::string::npos, !said.empty())
            << shown << "\n"
            << running.output();
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

// Blanks, quotes, dollars, backquotes, backslashes and per cents in a path:
// GLib reads them back in the hostile home folders below.
TEST(DesktopEntries, ExecNamesTheProgramAsTheEntryRulesQuoteIt) {
    const std::pair<std::string, std::string> rows[] = {
        // Plain paths stay plain: simple launchers split Exec at blanks.
        {"/home/ann/Applications/T.app/a", "/home/ann/Applications/T.app/a"},
        {"/h/it's;&|<>~*?#()/a", R"("/h/it's;&|<>~*?#()/a")"},
        {"/h/line\nbreak\ttab/a", R"("/h/line\nbreak\ttab/a")"},
    };
    for (const auto& [path, exec] : rows)
        EXPECT_EQ(xdg::execProgram(path), exec) << path;
    for (const std::string path : {"/h/\x01/a", "/h/\xff/a", "/h/\xc0\xaf/a"})
        EXPECT_THROW(xdg::execProgram(path), std::invalid_argument);

    const std::string handler = xdg::linkHandlerEntry("/h/a b/a");
    EXPECT_NE(handler.find("\nMimeType=x-scheme-handler/tavrelin;\n"), std::string::npos) << handler;
    EXPECT_EQ(xdg::loginEntry("/h/a").find("MimeType"), std::string::npos);
}

// The home folder names a person could have, each read back by GLib, which
// starts the very program with the link as its one argument.
TEST(DesktopEntries, AHostileHomeFolderStillStartsTheAgentWithTheLink) {
    if (!installed("/usr/bin/gio"))
        GTEST_SKIP() << "gio is not installed (scripts/setup installs libglib2.0-bin)";
    const std::string link = "tavrelin://pair?token=rk_x&api=https://a.example/$HOME";
    for (const std::string home : {"plain", "with space", R"(q"u'o`t$e)", R"(back\slash)", "per%cent %u %%", "ünï"}) {
        Desktop d;
        const std::string bundle = d.temp / (home + "/Applications/Tavrelin.app");
        const std::string record = d.temp / "arguments";
        const std::string agent = fakeBundle(bundle, record);
        d.items.writeLinkHandler(bundle);
        d.items.writeLoginEntry(bundle);
        EXPECT_EQ(d.items.loginEntry(bundle), Entry::thisCopy) << home;
        EXPECT_TRUE(d.items.handlesLinks(bundle)) << home;
        for (const auto& [entry, arguments] : {std::pair{d.items.linkHandlerPath(), std::vector{link}},
                                               std::pair{d.items.loginEntryPath(), std::vector<std::string>{}}}) {
            if (installed("/usr/bin/desktop-file-validate")) {
                const auto [status, output] = runToEnd({"/usr/bin/desktop-file-validate", entry});
                EXPECT_EQ(status, 0) << home << "\n" << output;
            }
            fs::remove(record);
            std::vector<std::string> command{"/usr/bin/gio", "launch", entry};
            command.insert(command.end(), arguments.begin(), arguments.end());
            const auto [status, output] = runToEnd(command, {{"HOME", d.temp.path()}});
            ASSERT_EQ(status, 0) << home << "\n" << output;
            const std::string expected = agent + "\n" + (arguments.empty() ? "" : link + "\n");
            EXPECT_TRUE(
                eventually([&] { return fs::exists(record) && readFile(record) == expected; }, std::chrono::seconds(10)))
                << home;
        }
        // xdg-open outside a known desktop splits Exec at blanks: a plain path must stay plain.
        if (home == "plain" && installed("/usr/bin/xdg-open")) {
            fs::remove(record);
            Environment session = d.environment();
            session["DISPLAY"] = ":55"; // only looked at, never opened
            const auto [status, output] = runToEnd({"/usr/bin/xdg-open", link}, session);
            EXPECT_EQ(status, 0) << output;
            EXPECT_TRUE(eventually([&] { return fs::exists(record) && readFile(record) == agent + "\n" + link + "\n"; },
                                   std::chrono::seconds(10)))
                << output;
        }
    }
}

TEST(DesktopEntries, TheLoginEntryTellsThisCopyAnotherAndOneTheDesktopTurnedOff) {
    Desktop d;
    const std::string here = d.temp / "Applications/Tavrelin.app", there = "/Applications/Tavrelin.app";
    EXPECT_EQ(d.items.loginEntry(here), Entry::none);
    d.items.writeLoginEntry(here);
    EXPECT_EQ(d.items.loginEntry(here), Entry::thisCopy);
    EXPECT_EQ(d.items.loginEntry(there), Entry::otherCopy);
    const std::string written = readFile(d.items.loginEntryPath());
    for (const std::string added : {"Hidden=true\n", "X-GNOME-Autostart-enabled=false\n", "Hidden = true\n"}) {
        writeFile(d.items.loginEntryPath(), written + added);
        EXPECT_EQ(d.items.loginEntry(here), Entry::turnedOffByDesktop) << added;
    }
    writeFile(d.items.loginEntryPath(), written + "[Desktop Action x]\nHidden=true\n");
    EXPECT_EQ(d.items.loginEntry(here), Entry::otherCopy);
    d.items.removeLoginEntry();
    d.items.removeLoginEntry(); // nothing there: fine
    EXPECT_EQ(d.items.loginEntry(here), Entry::none);
}

TEST(DesktopEntries, TheHandlerBecomesTheDefaultAndEveryOtherDefaultStays) {
    const std::string ours = "x-scheme-handler/tavrelin=tavrelin-agent.desktop;\n";
    // mimeapps.list before, with the agent as the default, and with it taken out again.
    const std::tuple<std::string, std::string, std::string> rows[] = {
        {"", "[Default Applications]\n" + ours, ""},
        {"[Added Associations]\ntext/plain=a.desktop;\n",
         "[Added Associations]\ntext/plain=a.desktop;\n\n[Default Applications]\n" + ours,
         "[Added Associations]\ntext/plain=a.desktop;\n"},
        {"[Default Applications]\ntext/html=b.desktop;\n\n[Added Associations]\nx=y;\n",
         "[Default Applications]\ntext/html=b.desktop;\n" + ours + "\n[Added Associations]\nx=y;\n",
         "[Default Applications]\ntext/html=b.desktop;\n\n[Added Associations]\nx=y;\n"},
        // An older default (twice over) is replaced where readers took it from.
        {"[Default Applications]\nx-scheme-handler/tavrelin=old.desktop;\nx-scheme-handler/tavrelin = other.desktop\na=b;\n",
         "[Default Applications]\n" + ours + "a=b;\n", "[Default Applications]\na=b;\n"},
    };
    for (const auto& [before, withAgent, without] : rows) {
        EXPECT_EQ(xdg::withDefault(before, xdg::linkMimeType, xdg::desktopId), withAgent) << before;
        EXPECT_EQ(xdg::defaultFor(withAgent, xdg::linkMimeType), std::string(xdg::desktopId)) << before;
        EXPECT_EQ(xdg::withoutDefault(withAgent, xdg::linkMimeType, xdg::desktopId), without) << before;
    }
    // Taking it out of a default that names others too leaves them.
    EXPECT_EQ(xdg::withoutDefault("[Default Applications]\nx-scheme-handler/tavrelin=tavrelin-agent.desktop;kept.desktop;\n",
                                  xdg::linkMimeType, xdg::desktopId),
              "[Default Applications]\nx-scheme-handler/tavrelin=kept.desktop;\n");

    // On disk, as xdg-mime reads it; a list that held only ours goes with it.
    Desktop d;
    const std::string bundle = d.temp / "Applications/Tavrelin.app";
    fakeBundle(bundle, d.temp / "arguments");
    const std::string others = "[Default Applications]\ntext/html=firefox.desktop;\n";
    writeText(d.items.defaultsPath(), others);
    d.items.writeLinkHandler(bundle);
    if (installed("/usr/bin/xdg-mime")) {
        EXPECT_EQ(runToEnd({"/usr/bin/xdg-mime", "query", "default", "x-scheme-handler/tavrelin"}, d.environment()).second,
                  "tavrelin-agent.desktop\n");
    }
    d.items.removeLinkHandler();
    EXPECT_EQ(readFile(d.items.defaultsPath()), others);
    EXPECT_FALSE(fs::exists(d.items.linkHandlerPath()));
    fs::remove(d.items.defaultsPath());
    d.items.writeLinkHandler(bundle);
    d.items.removeLinkHandler();
    EXPECT_FALSE(fs::exists(d.items.defaultsPath()));

    // A list that cannot be read is never replaced by one holding only ours.
    fs::create_directories(d.items.defaultsPath());
    EXPECT_THROW(d.items.writeLinkHandler(bundle), platform::FileError);
    EXPECT_FALSE(fs::exists(d.items.linkHandlerPath()));
}

TEST(DesktopEntries, AChangeToTheLoginEntryFromAnotherProcessIsSeen) {
    application<QCoreApplication>();
    Desktop d;
    fs::create_directories(d.config);
    const std::string bundle = "/Applications/Tavrelin.app";
    // What the entry was each time a change was reported.
    std::vector<Entry> seen;
    d.items.watchLoginEntry([&] { seen.push_back(d.items.loginEntry(bundle)); });
    // The autostart folder appears with the entry in it, then the entry goes.
    xdg::XdgLoginItems elsewhere(d.files, d.config, d.data);
    elsewhere.writeLoginEntry(bundle);
    EXPECT_TRUE(spinUntil([&] { return std::ranges::count(seen, Entry::thisCopy) > 0; })) << "the entry was written unseen";
    elsewhere.removeLoginEntry();
    EXPECT_TRUE(spinUntil([&] { return std::ranges::count(seen, Entry::none) > 0; })) << "the entry was removed unseen";
}
