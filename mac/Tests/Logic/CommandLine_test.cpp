// The command line: what it accepts and refuses, and what each of its
// commands does, prints and exits with, against a faked agent and desktop.

#include "Support/FakePlatform.h"
#include "TavrelinMac/CommandLineClient.h"
#include "TavrelinMac/LoginItem.h"
#include "TavrelinMac/Words.h"

#include <sstream>

using namespace tavrelin;
using namespace tavrelin::fake;
using Task = CommandLine::Task;
using Exit = CommandLineClient::Exit;
using ::testing::HasSubstr;

namespace {

const std::string pairLink = "tavrelin://pair?token=rk_0123456789abcdef&api=https://relay.example";

// A start of the program: its services faked, what it prints kept.
struct Start : FakeServices {
    Features features;
    FakeLoginItems items;
    FakeAgentInstance agent;
    std::map<std::string, std::string> lineFiles; // path → its first line
    std::ostringstream out, err;
    CommandLineClient client{{.bundle = bundle,
                              .appInfo = appInfo,
                              .defaults = defaults,
                              .loginItems = items,
                              .files = files,
                              .logFile = "/home/ana/.cache/Tavrelin/agent.log",
                              .features = features,
                              .firstLine = [this](const std::string& path) -> std::optional<std::string> {
                                  if (!lineFiles.count(path))
                                      return std::nullopt;
                                  return lineFiles.at(path);
                              },
                              .out = out,
                              .err = err}};

    // The whole command line's part: the exit, or none when the agent runs.
    std::optional<int> run(const Lines& arguments) {
        auto started = client.start(arguments);
        if (const auto* exit = std::get_if<Exit>(&started))
            return exit->status;
        if (const auto exit = client.reach(std::get<CommandLine>(started), agent))
            return exit->status;
        return std::nullopt;
    }
};

} // namespace

TEST(CommandLine, ReadsWhatEachStartAsksFor) {
    using Link = std::optional<std::string>;
    const std::tuple<Lines, Task, bool, Link, Link, Link> rows[] = {
        {{}, Task::runAgent, false, {}, {}, {}},
        {{"--headless", pairLink}, Task::runAgent, true, pairLink, {}, {}},
        {{"--link-from", "/dev/stdin"}, Task::runAgent, false, {}, "/dev/stdin", {}},
        {{"--headless", "--status"}, Task::status, true, {}, {}, {}},
        {{"--start-at-login", "off"}, Task::startAtLoginOff, false, {}, {}, {}},
        {{"--start-at-login", "on", "--headless"}, Task::startAtLoginOn, true, {}, {}, {}},
        {{"--unregister"}, Task::unregisterCopy, false, {}, {}, {}},
        // Of several, one wins: help, version, the entries, an install, quit, status.
        {{"--status", "--quit", "--quit"}, Task::quit, false, {}, {}, {}},
        {{"--quit", "--install-into", "/opt"}, Task::installInto, false, {}, {}, "/opt"},
        {{"--install-into", "/opt", "--register"}, Task::registerCopy, false, {}, {}, "/opt"},
        {{"--register", "--version"}, Task::version, false, {}, {}, {}},
        {{"--version", "-h"}, Task::help, false, {}, {}, {}},
        // An option's value is taken whole, whatever it looks like.
        {{"--link-from", "--quit"}, Task::runAgent, false, {}, "--quit", {}},
    };
    for (const auto& [arguments, task, headless, givenLink, linkFile, folder] : rows) {
        const CommandLine line = CommandLine::parse(arguments);
        EXPECT_EQ(line, (CommandLine{task, headless, givenLink, linkFile, folder, {}})) << ::testing::PrintToString(arguments);
    }
}

// --caldav exists only where the platform offers accounts on servers.
TEST(CommandLine, ACalDavAccountIsSetUpOnlyWhereThePlatformOffersOne) {
    const Lines rows[][2] = {
        {{"--caldav", "https://dav.example", "ana"}, {"https://dav.example", "ana"}},
        {{"--caldav", "off", "--quit"}, {"off"}},
        {{"--quit", "--caldav", "dav.example", "off"}, {"dav.example", "off"}},
    };
    for (const auto& [arguments, calDav] : rows) {
        const CommandLine line = CommandLine::parse(arguments, true);
        EXPECT_EQ(line.task, Task::useCalDav) << ::testing::PrintToString(arguments);
        EXPECT_EQ(line.calDav, calDav);
        EXPECT_THROW(CommandLine::parse(arguments), CommandLineError) << "no --caldav without server accounts";
    }
    for (const Lines& wrong :
         {Lines{"--caldav"}, Lines{"--caldav", "https://dav.example"}, Lines{"--caldav", "off", "--caldav", "off"}})
        EXPECT_THROW(CommandLine::parse(wrong, true), CommandLineError) << ::testing::PrintToString(wrong);

    Start offered;
    offered.features.serverAccounts = true;
    EXPECT_EQ(offered.run({"--help"}), 0);
    EXPECT_THAT(offered.out.str(), HasSubstr("--caldav off"));
    Start plain;
    EXPECT_EQ(plain.run({"--help"}), 0);
    EXPECT_THAT(plain.out.str(), ::testing::Not(HasSubstr("--caldav")));
}

TEST(CommandLine, SaysWhatIsWrongWithoutRepeatingALink) {
    const std::pair<Lines, std::string> rows[] = {
        {{"--bogus"}, "there is no option --bogus"},
        {{"-"}, "there is no option -"},
        {{"--start-at-login"}, "--start-at-login takes on or off"},
        {{"--start-at-login", "maybe"}, "--start-at-login takes on or off"},
        {{"--register", "--start-at-login", "on"}, "--start-at-login, --register and --unregister go one at a time"},
        {{"--unregister", "--unregister"}, "--start-at-login, --register and --unregister go one at a time"},
        {{"--link-from"}, "--link-from takes a file"},
        {{"--install-into"}, "--install-into takes a folder"},
        {{pairLink, "tavrelin://pair?token=rk_another"}, "one link at a time"},
        {{"--link-from", "/dev/stdin", pairLink}, "one link at a time"},
    };
    for (const auto& [arguments, message] : rows) {
        Start s;
        EXPECT_EQ(s.run(arguments), CommandLineClient::misused) << message;
        // The problem, then how to use it, on standard error only.
        EXPECT_EQ(s.err.str(), "tavrelin-agent: " + message + "\n" + words::commandLine::usage() + "\n");
        EXPECT_EQ(s.out.str(), "");
        EXPECT_EQ(s.err.str().find("rk_"), std::string::npos);
        EXPECT_TRUE(s.agent.requests.empty() && !s.agent.lastPatience) << "no agent is asked";
    }
}

TEST(CommandLine, HelpVersionAndTheLinkFromAFile) {
    Start help;
    EXPECT_EQ(help.run({"--help"}), 0);
    EXPECT_EQ(help.out.str(),
              words::commandLine::usage() + "\nIts log: /home/ana/.cache/Tavrelin/agent.log (and standard error).\n");
    EXPECT_EQ(help.err.str(), "");

    // What the update's run check reads.
    Start version;
    EXPECT_EQ(version.run({"--version"}), 0);
    EXPECT_EQ(version.out.str(), words::about::nameAndVersion("1.4.2") + "\n");
    EXPECT_THAT(version.out.str(), ::testing::EndsWith(" 1.4.2\n"));

    // Read before anything else, so an unreadable file ends even --help.
    Start unreadable;
    EXPECT_EQ(unreadable.run({"--link-from", "/home/ana/link", "--help"}), CommandLineClient::misused);
    EXPECT_EQ(unreadable.err.str(), "tavrelin-agent: no link could be read from /home/ana/link\n");
    EXPECT_EQ(unreadable.out.str(), "");

    Start fromFile;
    fromFile.lineFiles["/dev/stdin"] = pairLink;
    fromFile.agent.running = true;
    EXPECT_EQ(fromFile.run({"--link-from", "/dev/stdin"}), 0);
    EXPECT_EQ(fromFile.agent.requests, Lines{"open " + pairLink});
}

TEST(CommandLine, QuitAndStatusTalkToTheRunningAgentAndNeverBecomeOne) {
    for (const auto& [option, request, printed] :
         {std::tuple{"--quit", "quit", ""}, std::tuple{"--status", "status", "Tavrelin — Connected\n"}}) {
        SCOPED_TRACE(option);
        Start running;
        running.agent.running = true;
        EXPECT_EQ(running.run({"--headless", option}), 0);
        EXPECT_EQ(running.agent.requests, Lines{request});
        EXPECT_EQ(running.out.str(), printed);
        // A quitting agent's lock is waited for well past its own deadline.
        EXPECT_EQ(running.agent.lastPatience, std::chrono::milliseconds(CommandLineClient::lockPatience));

        Start none;
        EXPECT_EQ(none.run({option}), CommandLineClient::failed);
        EXPECT_EQ(none.err.str(), "tavrelin-agent: no agent is running\n");
        EXPECT_EQ(none.out.str(), "");

        Start silent;
        silent.agent.running = true;
        silent.agent.answers = false;
        EXPECT_EQ(silent.run({option}), CommandLineClient::failed);
        EXPECT_EQ(silent.err.str(), "tavrelin-agent: the agent holds the lock and does not answer\n");
    }
}

TEST(CommandLine, ALinkGoesToTheRunningAgentOrStaysForTheAgentThisStartBecomes) {
    Start handed;
    handed.agent.running = true;
    LogCapture log;
    EXPECT_EQ(handed.run({pairLink}), 0);
    EXPECT_EQ(handed.agent.requests, Lines{"open " + pairLink});
    EXPECT_THAT(log.lines(), ::testing::Contains("info handed the link to the running agent"));

    // Nobody runs: this start becomes the agent, with its link.
    Start first;
    EXPECT_EQ(first.run({pairLink}), std::nullopt);
    EXPECT_TRUE(first.agent.requests.empty());

    // One runs and no link: it is asked to show itself, and the start goes
    // on, to meet it and defer to it.
    Start second;
    second.agent.running = true;
    EXPECT_EQ(second.run({}), std::nullopt);
    EXPECT_EQ(second.agent.requests, Lines{"reopen"});

    Start unsure;
    unsure.agent.unsure = "/run/user/1000/tavrelin-agent.lock is not a file of this user's; remove it";
    EXPECT_EQ(unsure.run({pairLink}), CommandLineClient::failed);
    EXPECT_EQ(unsure.err.str(), "tavrelin-agent: " + *unsure.agent.unsure + "\n");
}

TEST(CommandLine, TheDesktopEntriesAreChangedWithoutAnAgentAndFailuresAreErrors) {
    Start on;
    on.bundle.bundlePath = "/home/user/Applications/Tavrelin.app";
    EXPECT_EQ(on.run({"--start-at-login", "on"}), 0);
    EXPECT_EQ(on.out.str(), "Start at login is on: /home/user/Applications/Tavrelin.app starts when you log in.\n");
    EXPECT_EQ(on.items.login, "/home/user/Applications/Tavrelin.app");

    Start failing;
    failing.items.login = "/home/user/Applications/Tavrelin.app";
    failing.items.failing = "remove";
    EXPECT_EQ(failing.run({"--unregister"}), CommandLineClient::failed);
    EXPECT_EQ(failing.out.str(), "");
    EXPECT_EQ(failing.err.str(), "tavrelin-agent: No room for remove login.\ntavrelin-agent: No room for remove handler.\n");
    EXPECT_TRUE(failing.agent.requests.empty() && !failing.agent.lastPatience) << "no agent is asked";
}

// --install-into: the copy there is replaced only once the running agent has
// quit; one that stays leaves it as it was.
TEST(CommandLine, InstallingIntoAFolderWaitsForTheRunningAgentToQuit) {
    const std::string folder = "/home/ana/Applications", installed = folder + "/Tavrelin.app";
    for (const bool leaves : {true, false}) {
        SCOPED_TRACE(leaves ? "the agent quits" : "the agent stays");
        Start s;
        s.bundle.bundlePath = "/src/build/Tavrelin.app";
        s.files.files[s.bundle.bundlePath + "/Contents/Info.plist"] = "new";
        s.files.files[installed + "/Contents/Info.plist"] = "old";
        s.agent.running = true;
        s.agent.leavesOnQuit = leaves;
        EXPECT_EQ(s.run({"--install-into", folder}), leaves ? CommandLineClient::succeeded : CommandLineClient::failed);
        EXPECT_EQ(s.agent.requests, Lines{"quit"});
        EXPECT_EQ(s.files.files[installed + "/Contents/Info.plist"], leaves ? "new" : "old");
        if (leaves) {
            EXPECT_EQ(s.out.str(), words::about::nameAndVersion("1.4.2") + " is in " + installed + ".\n");
        } else {
            EXPECT_EQ(s.err.str(), "tavrelin-agent: could not install: the running agent did not quit within 20 s; the copy "
                                   "that was there is unchanged\n");
        }
    }
}
