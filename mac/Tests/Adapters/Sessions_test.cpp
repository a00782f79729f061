// The installed agent in the sessions a person logs into: a Wayland
// compositor with no X server (weston, headless), displays that do not
// answer, an X session whose panel comes after the autostart entries, and
// start at login switched from the command line while the agent runs.
// Skipped (and reported so) when a tool is missing.

#include "Platform/Qt/DisplayProbe.h"
#include "Platform/Xdg/DesktopEntry.h"

#include "Support/DevRelayProcess.h"
#include "Support/EdsSession.h"
#include "Support/SpinEventLoop.h"
#include "Support/TempFolder.h"
#include "Support/VdirFixture.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QGuiApplication>

#include <gtest/gtest.h>

#include <filesystem>

using namespace tavrelin;
using namespace tavrelin::testing;
namespace fs = std::filesystem;
using Environment = std::map<std::string, std::string>;

namespace {

const std::string settings = "[General]\ncom.tavrelin.mac.hasShownWelcome=true\nremindersBackend=vdir\n";

bool installed(const char* program) {
    return ::access(program, X_OK) == 0;
}

// The built bundle copied into <home>/Applications, as scripts/install puts it.
std::string install(const Environment& environment) {
    const fs::path bundle = fs::path(environment.at("HOME")) / "Applications/Tavrelin.app";
    fs::create_directories(bundle.parent_path());
    fs::copy(buildDir() / "Tavrelin.app", bundle, fs::copy_options::recursive);
    writeText(fs::path(environment.at("XDG_CONFIG_HOME")) / "Tavrelin/Tavrelin.ini", settings);
    return bundle / "Contents/MacOS/tavrelin-agent";
}

Environment withSanitizers(Environment environment) {
    environment.insert({{"PATH", "/usr/bin:/bin"}, {"LANG", "C.UTF-8"}});
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char* value = std::getenv(name))
            environment[name] = value;
    return environment;
}

// Runs the agent with these arguments to its end; answers status and output.
std::pair<int, std::string> run(const std::string& agent, const std::vector<std::string>& arguments,
                                const Environment& environment) {
    std::vector<std::string> command{agent};
    command.insert(command.end(), arguments.begin(), arguments.end());
    Child child(command, withSanitizers(environment));
    return {child.wait().value_or(-1), child.output()};
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
        ASSERT_TRUE(eventually([&] { return run(agent, {"--status"}, environment).first == 0; })) << shown << "\n"
                                                                                                  << running.output();
        if (said.empty())
            EXPECT_EQ(running.output().find("no display"), std::string::npos) << shown << "\n" << running.output();
        else
            EXPECT_NE(running.output().find(said), std::string::npos) << shown << "\n" << running.output();
        EXPECT_EQ(run(agent, {"--quit"}, environment).first, 0) << shown;
        EXPECT_EQ(running.wait(), 0) << shown << "\n" << running.output();
    }
}

TEST(Sessions, StartAtLoginSwitchedOnTheCommandLineReachesTheRunningAgentsMenu) {
    TempFolder temp;
    const Environment environment = userFolders(temp.path());
    const std::string agent = install(environment);
    const fs::path entry = fs::path(environment.at("XDG_CONFIG_HOME")) / "autostart" / xdg::desktopId;
    Child running({agent, "--headless"}, withSanitizers(environment));
    // The switch as the menu shows it now.
    auto menuShows = [&](const std::string& line) {
        return eventually([&] {
            running.send("menu");
            return running.await("[end]\n").value_or("").find(line) != std::string::npos;
        });
    };
    ASSERT_TRUE(menuShows("[x] Start at Login")) << running.output();
    EXPECT_NE(readFile(entry).find("Exec=" + agent + "\n"), std::string::npos);

    // From any copy, with the agent running.
    const std::string other = (buildDir() / "Tavrelin.app/Contents/MacOS/tavrelin-agent").string();
    const auto [status, said] = run(other, {"--start-at-login", "off"}, environment);
    EXPECT_EQ(status, 0);
    EXPECT_NE(said.find("\nStart at login is off.\n"), std::string::npos) << said;
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_TRUE(menuShows("[ ] Start at Login")) << running.output();
    EXPECT_EQ(run(other, {"--start-at-login", "on"}, environment).first, 0);
    EXPECT_NE(readFile(entry).find("Exec=" + agent + "\n"), std::string::npos);
    EXPECT_TRUE(menuShows("[x] Start at Login")) << running.output();

    EXPECT_EQ(run(other, {"--start-at-login", "maybe"}, environment).first, 2);
    running.send("quit");
    EXPECT_EQ(running.wait(), 0) << running.output();
}

// At login the session starts the autostart entries, and the panel comes
// when it comes: the agent's item and its switch reach the panel all the same.
TEST(Sessions, AtLoginTheAutostartEntryStartsTheAgentAndThePanelThatComesLaterShowsIt) {
    application<QGuiApplication>();
    for (const char* program : {"/usr/bin/Xvfb", "/usr/bin/lxqt-panel", "/usr/bin/gio"})
        if (!installed(program))
            GTEST_SKIP() << program << " is not installed (scripts/setup installs it)";
    EdsSession session(false); // a bus of its own
    Environment environment = session.environment();
    // Its number on standard output; what it says on standard error stays apart.
    Child xvfb({"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "480x200x24", "-nolisten", "tcp"}, withSanitizers({}),
               true);
    const auto display = xvfb.await("\n", std::chrono::seconds(20));
    ASSERT_TRUE(display) << xvfb.output();
    environment["DISPLAY"] = ":" + display->substr(0, display->size() - 1);
    const std::string agent = install(environment);
    writeText(session.root() / "config/lxqt/panel.conf", "[General]\n__userfile__=true\npanels=panel1\n[panel1]\n"
                                                         "plugins=statusnotifier\nposition=Top\n[statusnotifier]\n"
                                                         "type=statusnotifier\n");
    // As scripts/install does it, then the login.
    ASSERT_EQ(run(agent, {"--register"}, environment).first, 0);
    const std::string entry = environment.at("XDG_CONFIG_HOME") + "/autostart/" + std::string(xdg::desktopId);
    struct QuitAtEnd {
        std::function<void()> quit;
        ~QuitAtEnd() { quit(); }
    } quitAtEnd{[&] { run(agent, {"--quit"}, environment); }};
    // The agent writes its log where the launcher's output went.
    Child launcher({"/usr/bin/gio", "launch", entry}, withSanitizers(environment));
    ASSERT_EQ(launcher.wait(), 0) << launcher.output();
    ASSERT_TRUE(eventually([&] { return run(agent, {"--status"}, environment).first == 0; })) << "the agent did not start\n"
                                                                                              << launcher.output();
    Child panel({"/usr/bin/lxqt-panel"}, withSanitizers(environment));

    QDBusConnection bus =
        QDBusConnection::connectToBus(QString::fromStdString(environment.at("DBUS_SESSION_BUS_ADDRESS")), "sessions-test");
    auto call = [&](const QString& service, const QString& path, const QString& interface, const QString& method,
                    const QVariantList& arguments) {
        QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
        message.setArguments(arguments);
        return bus.call(message, QDBus::Block, 5000);
    };
    auto property = [&](const QString& service, const QString& path, const QString& interface, const QString& name) {
        return call(service, path, "org.freedesktop.DBus.Properties", "Get", {interface, name})
            .arguments()
            .value(0)
            .value<QDBusVariant>()
            .variant();
    };
    const QString watcher = "org.kde.StatusNotifierWatcher";
    QStringList items;
    ASSERT_TRUE(spinUntil(
        [&] {
            items = property(watcher, "/StatusNotifierWatcher", watcher, "RegisteredStatusNotifierItems").toStringList();
            return !items.isEmpty();
        },
        30000))
        << "the panel never got the agent's item\n"
        << panel.output();
    const QString service = items.front().section('/', 0, 0);
    const QString menu = property(service, items.front().mid(service.size()), "org.kde.StatusNotifierItem", "Menu")
                             .value<QDBusObjectPath>()
                             .path();

    // The switch among the exported entries: its id and whether it is on.
    auto startAtLogin = [&]() -> std::optional<std::pair<int, int>> {
        const QDBusMessage reply =
            call(service, menu, "com.canonical.dbusmenu", "GetLayout", {0, -1, QStringList{"label", "toggle-state"}});
        const QDBusArgument root = reply.arguments().value(1).value<QDBusArgument>();
        int id = 0;
        QVariantMap properties;
        QVariantList children;
        root.beginStructure();
        root >> id >> properties >> children;
        root.endStructure();
        for (const QVariant& child : children) {
            const QDBusArgument argument = child.value<QDBusArgument>();
            int childId = 0;
            QVariantMap childProperties;
            QVariantList grandchildren;
            argument.beginStructure();
            argument >> childId >> childProperties >> grandchildren;
            argument.endStructure();
            if (childProperties.value("label").toString() == "Start at Login")
                return std::pair{childId, childProperties.value("toggle-state").toInt()};
        }
        return std::nullopt;
    };
    ASSERT_TRUE(spinUntil([&] { return startAtLogin() && startAtLogin()->second == 1; }, 10000))
        << "no switch, or off, in the panel's menu";
    call(service, menu, "com.canonical.dbusmenu", "Event",
         {startAtLogin()->first, "clicked", QVariant::fromValue(QDBusVariant(QString())), 0u});
    EXPECT_TRUE(eventually([&] { return !fs::exists(entry); })) << "the click left the entry in place";
    EXPECT_TRUE(spinUntil([&] { return startAtLogin() && startAtLogin()->second == 0; }, 10000));
    QDBusConnection::disconnectFromBus("sessions-test");
}
