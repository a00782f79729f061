// The built agent as real processes: killed mid-delivery, started while
// another one runs or quits, and a session whose vdir vdirsyncer takes up to a
// Radicale server on loopback and back down into a second vdir, both read
// with libical. (The sentences it prints are checked in Texts_test; here, that
// they are the words of its build.) And the agent on a session that runs
// Evolution Data Server, with the default backend setting. (A calendar
// factory that dies and comes back, and a list it cannot find, are the EDS
// adapter test's and the delivery logic's.) And a running agent told from
// the command line to file into a CalDAV account, a Radicale server on
// loopback, with its password in a keyring on a bus of the test's own.

#include "Platform/Curl/CurlHttp.h"
#include "Platform/Features.h"
#include "Platform/Linux/Secret/LibsecretSecrets.h"
#include "Support/AgentProcess.h"
#include "Support/CalDavServer.h"
#include "Support/EdsSession.h"
#include "Support/KeyringSession.h"
#include "TavrelinMac/Words.h"
#include "TavrelinMac/Words/Table.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <cstring>
#include <poll.h>
#include <random>
#include <set>
#include <sstream>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>

using namespace tavrelin;
using namespace tavrelin::testing;
using json = nlohmann::json;
namespace fs = std::filesystem;

namespace {
// Every relay in these tests is reached through it.
curl::CurlHttp http;
} // namespace

TEST(CrashSafety, KilledMidDeliveryTheAgentFilesEveryItemExactlyOnceAndAcknowledgesOnlyWhatIsOnDisk) {
    constexpr int itemCount = 300, killCount = 5;
    const std::string token = "rk_deliverysafety001", ackPath = "/relay/device/ack";
    AgentHome home{"com.tavrelin.mac.hasShownWelcome=true\n"};
    makeList(home.lists, "home", "Home");
    DevRelayProcess relay{(buildDir() / "tools/dev-relay").string(), token, http};
    const auto mine = [&] { return relay.get("/dev/state").at("tokens").at(0); };

    json items = json::array();
    for (int i = 0; i < itemCount; ++i)
        items.push_back({{"id", std::to_string(i)}, {"title", std::to_string(i)}, {"allDay", false}, {"list", "Home"}});
    relay.post("/dev/enqueue", items);
    // Paired before the first launch: every launch restores the pairing and polls at once.
    writeFile(home.root / "data/Tavrelin/pairing.json",
              json{{"apiBase", relay.api()}, {"token", token}, {"pairedAt", 0}}.dump());

    // Each launch goes over the whole queue again (nothing is acknowledged
    // before a poll ends), so a kill after a random number of deliveries lands
    // among items filed before or new ones. A pass over items already filed is
    // quick enough to end before the kill does, so the relay refuses every
    // acknowledgement until the last launch: each round starts from the same
    // queue, as a kill before the acknowledgement would leave it.
    relay.post("/dev/fault", {{"path", ackPath}, {"status", 503}, {"count", killCount}});
    std::mt19937 random(20261206);
    std::uniform_int_distribution<int> moment(1, itemCount / 2);
    for (int round = 0; round < killCount; ++round) {
        auto agent = startAgent(home.environment);
        for (int delivered = moment(random); delivered > 0; --delivered)
            ASSERT_TRUE(agent->await(" info delivered ")) << "round " << round << ":\n" << agent->output();
        EXPECT_EQ(agent->kill(SIGKILL), 128 + SIGKILL);
    }
    ASSERT_EQ(mine()["pending"].size(), items.size()); // no killed round acknowledged or removed any
    // The refusals no round used up (each round makes one acknowledgement at most).
    for (int left = killCount; left > 0 && !relay.get("/dev/state")["faults"].empty(); --left)
        EXPECT_THROW(relay.post(ackPath, json::object()), std::runtime_error);
    ASSERT_TRUE(relay.get("/dev/state")["faults"].empty()) << "a refusal the relay should have used up";

    // One launch left alone finishes. The relay holds its acknowledgement a
    // while once received, and the lists are read meanwhile. What a write
    // killed in its middle would leave is planted (too short a window to hit
    // by chance) and must be gone.
    writeFile(home.lists / "home/.tavrelin-0123456789abcdef.tmp", "BEGIN:VCALENDAR\r\nBEGIN:VTO");
    relay.post("/dev/fault", {{"path", ackPath}, {"delayMs", 2000}});
    const auto requests = [&] { return relay.get("/dev/stats")["requestCount"].get<int>(); };
    const int before = requests();
    auto agent = startAgent(home.environment);
    // Its poll, then its acknowledgement.
    ASSERT_TRUE(eventually([&] { return requests() >= before + 2; })) << agent->output();
    ASSERT_TRUE(mine()["acks"].empty()) << "the relay did not hold the acknowledgement";
    const Filed filed = readLists(home.lists);
    EXPECT_TRUE(filed.problems.empty()) << filed.problems.front();
    // As many files as items: each item once, as a file is named after its item.
    EXPECT_EQ(filed.tasks.size(), itemCount);

    ASSERT_TRUE(eventually([&] { return mine()["pending"].empty(); })) << agent->output();
    // The relay's token is in its pairing link and nowhere else in its output,
    // and device requests need it. Given none, the relay makes one up; it
    // will not listen beyond loopback.
    const std::string output = relay.process().output();
    EXPECT_EQ(output.find(token), output.rfind(token)) << output;
    EXPECT_THROW(relay.get("/relay/device/pending"), std::runtime_error);
    Child generated({(buildDir() / "tools/dev-relay").string()}),
        refused({(buildDir() / "tools/dev-relay").string(), "--host", "0.0.0.0"});
    EXPECT_TRUE(generated.await("tavrelin://pair?token=rk_"));
    EXPECT_EQ(refused.wait(), 2);
}

// Two relays on this computer number their items alike: re-paired from one
// to the other, the agent files the second one's item-1 too.
TEST(ReusedIds, AnotherRelayOnTheSameHostHasItemsOfItsOwn) {
    AgentHome home{"com.tavrelin.mac.hasShownWelcome=true\n"};
    makeList(home.lists, "home", "Home");
    DevRelayProcess first{(buildDir() / "tools/dev-relay").string(), "rk_reusedidsfirst001", http},
        second{(buildDir() / "tools/dev-relay").string(), "rk_reusedidssecond01", http};
    for (auto [relay, title] : {std::pair{&first, "Milk"}, std::pair{&second, "Bread"}}) {
        relay->post("/dev/enqueue", json::array({{{"title", title}, {"allDay", false}, {"list", "Home"}}}));
        ASSERT_EQ(relay->get("/dev/state")["tokens"][0]["pending"][0]["id"], "item-1");
    }
    writeFile(home.root / "data/Tavrelin/pairing.json",
              json{{"apiBase", first.api()}, {"token", "rk_reusedidsfirst001"}, {"pairedAt", 0}}.dump());
    const auto delivered = [](DevRelayProcess& relay) {
        return eventually([&] { return relay.get("/dev/state")["tokens"][0]["pending"].empty(); });
    };
    auto agent = startAgent(home.environment);
    ASSERT_TRUE(delivered(first)) << agent->output();
    agent->send("open " + second.link());
    ASSERT_TRUE(answer(*agent, "1") && answer(*agent, "1")) << agent->output(); // replace, then OK
    ASSERT_TRUE(delivered(second)) << agent->output();
    agent->send("quit");
    EXPECT_EQ(agent->wait(), 0) << agent->output();

    std::multiset<std::string> summaries;
    for (const auto& [uid, lines] : readLists(home.lists).tasks)
        for (const auto& line : lines)
            if (line.starts_with("SUMMARY:"))
                summaries.insert(line);
    EXPECT_EQ(summaries, (std::multiset<std::string>{"SUMMARY:Bread", "SUMMARY:Milk"}));
}

// SIGTERM while reminders are being saved quits as "Quit Tavrelin" does:
// status 0, every file whole, and nothing acknowledged that is not on disk.
TEST(CrashSafety, TerminatedWhileSavingTheAgentQuitsCleanlyWithEveryFileWhole) {
    constexpr int itemCount = 60;
    const std::string token = "rk_terminationsafety";
    AgentHome home{"com.tavrelin.mac.hasShownWelcome=true\n"};
    makeList(home.lists, "home", "Home");
    DevRelayProcess relay{(buildDir() / "tools/dev-relay").string(), token, http};
    json items = json::array();
    for (int i = 0; i < itemCount; ++i)
        items.push_back(
            {{"id", "t" + std::to_string(i)}, {"title", "t" + std::to_string(i)}, {"allDay", false}, {"list", "Home"}});
    relay.post("/dev/enqueue", items);
    writeFile(home.root / "data/Tavrelin/pairing.json",
              json{{"apiBase", relay.api()}, {"token", token}, {"pairedAt", 0}}.dump());

    auto agent = startAgent(home.environment);
    ASSERT_TRUE(agent->await(" info delivered ")) << agent->output();
    EXPECT_EQ(agent->kill(SIGTERM), 0) << agent->output();

    const Filed filed = readLists(home.lists);
    EXPECT_TRUE(filed.problems.empty()) << filed.problems.front();
    EXPECT_FALSE(filed.tasks.empty());
    std::set<std::string> titles;
    for (const auto& [uid, lines] : filed.tasks)
        for (const std::string& line : lines)
            if (line.starts_with("SUMMARY:"))
                titles.insert(line.substr(8));
    const json state = relay.get("/dev/state");
    for (const auto& ack : state.at("tokens").at(0).at("acks"))
        for (const auto& id : ack.at("ids"))
            EXPECT_EQ(titles.count(id.get<std::string>()), 1u) << id << " was acknowledged but is not on disk";
}

TEST(DevRelay, AnswersWhatTheClientWaitsForAndStopsAtOnceWithAnIdleConnectionOpen) {
    const std::string token = "rk_relayconnection1";
    DevRelayProcess relay{(buildDir() / "tools/dev-relay").string(), token, http};
    // One connection: each line the client reads (a JSON string) goes out as it is, and what comes back is printed.
    Child client(
        {"/usr/bin/python3", "-c",
         "import json, socket, sys, threading\n"
         "s = socket.create_connection(('127.0.0.1', int(sys.argv[1])))\n"
         "threading.Thread(target=lambda: [s.sendall(json.loads(l).encode()) for l in sys.stdin], daemon=True).start()\n"
         "for data in iter(lambda: s.recv(4096), b''):\n    sys.stdout.buffer.write(data)\n    sys.stdout.flush()\n",
         relay.api().substr(relay.api().rfind(':') + 1)});
    const std::string headers = "Host: relay\r\nAuthorization: Bearer " + token + "\r\n";
    const std::string body = R"({"ids":[],"lists":["Home"]})";

    // A client that asks before it sends its body hears "go on" first.
    const std::string ack = "POST /relay/device/ack HTTP/1.1\r\n" + headers +
                            "Expect: 100-continue\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    client.send(json(ack).dump());
    EXPECT_THAT(client.await("\r\n\r\n").value_or(client.output()), ::testing::StartsWith("HTTP/1.1 100 Continue\r\n"));
    client.send(json(body).dump());
    EXPECT_THAT(client.await("\"removed\":0}").value_or(""), ::testing::StartsWith("HTTP/1.1 200 OK\r\n"));

    // Requests sent together are all answered, in order, in full: a reply
    // larger than the relay holds back at once too.
    const std::string title(100 * 1024, '#');
    relay.post("/dev/enqueue", {{"id", "large"}, {"title", title}});
    const std::string poll = "GET /relay/device/pending HTTP/1.1\r\n" + headers + "\r\n";
    client.send(json(poll + poll).dump());
    for (int reply = 0; reply < 2; ++reply) {
        const std::string text = client.await("\"}]}").value_or("");
        EXPECT_THAT(text, ::testing::StartsWith("HTTP/1.1 200 OK\r\n")) << reply;
        EXPECT_EQ(std::ranges::count(text, '#'), static_cast<std::ptrdiff_t>(title.size())) << reply;
    }

    // The connection now idles; stopping does not wait for it.
    EXPECT_EQ(relay.process().kill(SIGTERM), 0) << relay.process().output();
}

namespace {

const std::string started = " started\n", anotherRuns = "info another instance is already running; exiting";

// How a control command (or a link) ended and what it printed.
std::pair<int, std::string> control(const AgentHome& home, const std::string& option) {
    return runToEnd({(buildDir() / "Tavrelin.app/Contents/MacOS/tavrelin-agent").string(), "--headless", option},
                    home.environment);
}

// A relay that holds every poll for a while: a quitting agent waits for it
// before it exits.
TEST(SingleAgent, ALaterStartDefersToTheRunningAgentAndOneRightAfterAQuitWaitsForTheQuittingAgent) {
    constexpr int rounds = 5;
    DevRelayProcess relay((buildDir() / "tools/dev-relay").string(), "rk_0123456789abcdef", http);
    relay.post("/dev/fault", {{"path", "/relay/device/pending"}, {"delayMs", 3000}, {"count", rounds + 1}});

    AgentHome home{"com.tavrelin.mac.hasShownWelcome=true\n"};
    writeFile(home.root / "data/Tavrelin/pairing.json",
              json{{"apiBase", relay.api()}, {"token", "rk_0123456789abcdef"}, {"pairedAt", 0}}.dump());
    const fs::path socket = home.root / "run/tavrelin-agent.sock";
    std::vector<std::unique_ptr<Child>> agents;
    agents.push_back(startAgent(home.environment));
    ASSERT_TRUE(agents.back()->await(started)) << agents.back()->output();

    // A start while it runs ends at once, and the running agent shows itself:
    // here, on its terminal, its menu. The start leaves the running agent's
    // socket: a link still reaches it, which asks about it, and so does a
    // status request.
    const std::size_t before = agents.back()->output().size();
    auto second = startAgent(home.environment);
    EXPECT_EQ(second->wait(), 0);
    EXPECT_THAT(second->output(), ::testing::HasSubstr(anotherRuns));
    if (platform::buildFeatures.showOnReopen) {
        EXPECT_TRUE(eventually([&] { return agents.back()->output().find(words::menu::quit(), before) != std::string::npos; }))
            << agents.back()->output().substr(before);
    }
    EXPECT_THAT(control(home, "tavrelin://pair?token=rk_0123456789abcdef&api=http://127.0.0.1:9"),
                ::testing::Pair(0, ::testing::HasSubstr("handed the link to the running agent")));
    EXPECT_TRUE(answer(*agents.back(), "2")) << agents.back()->output(); // declined
    EXPECT_THAT(control(home, "--status"), ::testing::Pair(0, ::testing::StartsWith("Tavrelin — ")));

    for (int round = 1; round <= rounds; ++round) {
        ASSERT_TRUE(eventually([&] { return relay.get("/dev/stats")["requestCount"].get<int>() >= round; }))
            << "no poll in round " << round;
        // Asked from another process, or from its own terminal.
        if (round % 2)
            ASSERT_THAT(control(home, "--quit"), ::testing::Pair(0, ::testing::_));
        else
            agents.back()->send("quit");
        agents.push_back(startAgent(home.environment)); // at once
        Child& fresh = *agents.back();
        ASSERT_TRUE(fresh.await(started)) << "round " << round << ":\n" << fresh.output();
        // The one before let go of the lock as its last act; its process
        // ends right after (later under a leak checker).
        EXPECT_EQ(agents[agents.size() - 2]->wait(), 0) << "round " << round;
    }

    // Killed, it leaves its socket file; the kernel let go of its lock.
    EXPECT_EQ(agents.back()->kill(SIGKILL), 128 + SIGKILL);
    EXPECT_TRUE(fs::exists(socket));
    auto next = startAgent(home.environment);
    ASSERT_TRUE(next->await(started)) << next->output();
    // The last one quits for good: its socket goes, and nobody answers.
    EXPECT_EQ(control(home, "--quit").first, 0);
    EXPECT_EQ(next->wait(), 0);
    EXPECT_FALSE(fs::exists(socket));
    EXPECT_EQ(control(home, "--quit").first, 1);
}

// What any user of the machine can read of the process and the processes
// it started: their command lines; and their environments, which are the
// user's own but are handed on to whatever they start.
std::string visible(pid_t pid) {
    std::string text;
    std::vector<pid_t> tree{pid};
    for (std::size_t i = 0; i < tree.size(); ++i) {
        const fs::path proc = "/proc/" + std::to_string(tree[i]);
        for (const char* part : {"cmdline", "environ"})
            try {
                text += readFile((proc / part).string()) + "\n";
            } catch (const std::runtime_error&) {
                // ended meanwhile
            }
        std::error_code ignored;
        for (const auto& task : fs::directory_iterator(proc / "task", ignored)) {
            std::istringstream children(readFile((task.path() / "children").string()));
            for (pid_t child = 0; children >> child;)
                tree.push_back(child);
        }
    }
    return text;
}

// Waits for a line on the descriptor; none at the deadline.
std::optional<std::string> lineFrom(int fd) {
    std::string line;
    for (const auto until = std::chrono::steady_clock::now() + processDeadline; line.find('\n') == std::string::npos;) {
        pollfd ready{fd, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        char buffer[4096];
        const ssize_t count =
            left.count() > 0 && ::poll(&ready, 1, static_cast<int>(left.count())) > 0 ? ::read(fd, buffer, sizeof buffer) : 0;
        if (count <= 0)
            return std::nullopt;
        line.append(buffer, static_cast<std::size_t>(count));
    }
    return line.substr(0, line.find('\n'));
}

// A pairing link holds the relay token, and any user may read a process's
// command line. Given there, it is out of it before the process does
// anything else: a start caught in the middle of handing the link over (this
// test plays the running agent, holding the lock and answering on the
// socket) shows none, and neither does the agent such a start becomes, nor
// anything it starts. The link itself arrives whole; through a descriptor,
// it never passes a command line at all.
TEST(Secrets, ALinkOnTheCommandLineIsOutOfItBeforeItIsHandedOverAndWhileTheAgentRuns) {
    const std::string token = "rk_commandlinesecret01";
    DevRelayProcess relay((buildDir() / "tools/dev-relay").string(), token, http);
    AgentHome home{"com.tavrelin.mac.hasShownWelcome=true\n"};
    const fs::path run = home.root / "run", socketPath = run / "tavrelin-agent.sock";
    ASSERT_EQ(visible(relay.process().pid()).find(token), std::string::npos) << "the relay was given its token in the open";
    {
        const int lock = ::open((run / "tavrelin-agent.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_EQ(::flock(lock, LOCK_EX), 0);
        const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(::listen(listener, 1), 0);

        auto start = startAgent(home.environment, {relay.link()});
        pollfd incoming{listener, POLLIN, 0};
        ASSERT_EQ(::poll(&incoming, 1, static_cast<int>(processDeadline.count())), 1) << start->output();
        const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        EXPECT_EQ(lineFrom(client), "open " + relay.link());
        // It waits for the answer now.
        EXPECT_EQ(visible(start->pid()).find(token), std::string::npos);
        EXPECT_EQ(visible(start->pid()).find("tavrelin://"), std::string::npos);
        EXPECT_EQ(::send(client, "ok\n", 3, MSG_NOSIGNAL), 3);
        EXPECT_EQ(start->wait(), 0);
        EXPECT_THAT(start->output(), ::testing::HasSubstr("handed the link to the running agent"));
        for (const int fd : {client, listener, lock})
            ::close(fd);
        fs::remove(socketPath);
    }

    auto agent = startAgent(home.environment, {relay.link()});
    ASSERT_TRUE(answer(*agent, "1") && agent->await("info paired with 127.0.0.1") && answer(*agent, "1")) << agent->output();
    ASSERT_TRUE(eventually([&] { return relay.get("/dev/stats")["requestCount"].get<int>() > 0; })) << agent->output();
    EXPECT_EQ(visible(agent->pid()).find(token), std::string::npos);

    // Handed over from standard input, as the demo does.
    Child handing({(buildDir() / "Tavrelin.app/Contents/MacOS/tavrelin-agent").string(), "--link-from", "/dev/stdin"},
                  withSanitizers(home.environment));
    handing.send(relay.link());
    EXPECT_EQ(handing.wait(), 0) << handing.output();
    EXPECT_TRUE(answer(*agent, "2")) << agent->output(); // the same pairing again: kept
    agent->send("quit");
    EXPECT_EQ(agent->wait(), 0) << agent->output();
}

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
    DevRelayProcess relay((buildDir() / "tools/dev-relay").string(), "rk_caldavroundtrip01", http);
    for (auto& item : items)
        item["list"] = "Reminders";
    relay.post("/dev/enqueue", items);
    auto agent = startAgent(home.environment);
    ASSERT_TRUE(answer(*agent, "1")) << agent->output(); // the welcome, which then opens the menu
    ASSERT_TRUE(agent->await("[menu]") && answer(*agent, "open " + relay.link())) << agent->output();
    ASSERT_TRUE(answer(*agent, "1") && answer(*agent, "1")) << agent->output(); // pair, then paired
    ASSERT_TRUE(eventually([&] { return relay.get("/dev/state")["tokens"][0]["pending"].empty(); })) << agent->output();
    agent->send("menu");
    ASSERT_TRUE(answer(*agent, words::menu::unpair()) && answer(*agent, "2")) << agent->output(); // cancel
    EXPECT_EQ(agent->kill(SIGTERM), 0);

    const std::string output = agent->output();
    const platform::RemindersPlace place{platform::RemindersPlace::Kind::taskListFolder, home.lists.string()};
    EXPECT_NE(output.find(words::pairing::pairedText("127.0.0.1", place)), std::string::npos) << output;
    EXPECT_NE(output.find("\n" + words::module::title(place) + "\n"), std::string::npos) << output;
    EXPECT_NE(output.find(words::menu::unpairText(place)), std::string::npos) << output;
    // Every dialog, menu and tool tip the terminal front end printed.
    for (const std::string opening : {"[alert]", "[menu]", "[status]"})
        for (auto at = output.find(opening); at != std::string::npos; at = output.find(opening, at + 1)) {
            const std::string text = output.substr(at, output.find(opening == "[status]" ? "\n" : "[end]", at) - at);
            // The Linux words speak of no Mac: such a word comes from the build's own table or not at all.
            for (const std::string_view word : {"Mac", "macOS", "Apple", "Dock", "menu bar", "notariz"}) {
                const bool ours = std::ranges::any_of(
                    words::spokenWords(), [&](const words::Word& w) { return w.text.find(word) != std::string::npos; });
                EXPECT_TRUE(ours || text.find(word) == std::string::npos) << "“" << word << "” in:\n" << text;
            }
        }
    const auto filed = readLists(home.lists);
    ASSERT_EQ(filed.tasks.size(), items.size());

    const auto tools = withSanitizers(home.environment); // LANG for Python's output
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
    writeFile(home.root / "vdirsyncer.conf", config.str());
    for (const std::string verb : {"discover", "sync", "metasync"})
        for (const std::string pair : {"up", "down"}) {
            // Yes to creating the collection where it is missing.
            const auto [status, said] = runToEnd({"/bin/sh", "-c", "yes | exec \"$@\"", "sh", "/usr/bin/vdirsyncer", "--config",
                                                  (home.root / "vdirsyncer.conf").string(), verb, pair},
                                                 home.environment);
            ASSERT_EQ(status, 0) << verb << " " << pair << ":\n" << said << server.output();
        }

    // The same tasks on both sides, the list's title included. What the agent
    // writes for what it was sent is the vdir adapter test's.
    const auto back = readLists(home.root / "back");
    EXPECT_EQ(back.tasks, filed.tasks);
    EXPECT_EQ(readFile((home.root / "back/reminders/displayname").string()), "Reminders");
}

// An item for a list that is not there waits; the menu offers to make the
// list in the folder it names, and once asked the item is filed at once.
// The macOS words' menu offers no such thing.
TEST(MissingList, IsMadeFromTheMenuAndWhatWaitedForItIsFiled) {
    AgentHome home;
    makeList(home.lists, "reminders", "Reminders");
    DevRelayProcess relay((buildDir() / "tools/dev-relay").string(), "rk_missinglistmade01", http);
    relay.post("/dev/enqueue", json::array({{{"id", "milk"}, {"title", "Milk"}, {"allDay", false}, {"list", "Groceries"}}}));
    auto agent = startAgent(home.environment, {relay.link()});
    ASSERT_TRUE(answer(*agent, "1") && answer(*agent, "1")) << agent->output(); // pair, then OK
    ASSERT_TRUE(agent->await("refused milk: unknown list")) << agent->output();

    agent->send("menu");
    const std::string create = words::places::createList("Groceries");
    if (!platform::buildFeatures.createListInMenu) {
        ASSERT_TRUE(agent->await("[end]\n")) << agent->output();
        EXPECT_EQ(agent->output().find(create), std::string::npos) << agent->output();
    } else {
        ASSERT_TRUE(answer(*agent, create) && answer(*agent, "1")) << agent->output(); // the entry, then "Create List"
        ASSERT_TRUE(eventually([&] { return relay.get("/dev/state")["tokens"][0]["pending"].empty(); })) << agent->output();
        const platform::RemindersPlace folder{platform::RemindersPlace::Kind::taskListFolder, home.lists.string()};
        EXPECT_NE(agent->output().find(words::places::createText("Groceries", folder)), std::string::npos);
        EXPECT_EQ(readFile((home.lists / "groceries/displayname").string()), "Groceries");
        const auto filed = readLists(home.lists);
        ASSERT_EQ(filed.tasks.size(), 1u);
        EXPECT_TRUE(filed.tasks.begin()->first.starts_with("groceries/"));
        EXPECT_THAT(filed.tasks.begin()->second, ::testing::Contains("SUMMARY:Milk"));
    }
    agent->send("quit");
    EXPECT_EQ(agent->wait(), 0) << agent->output();
}

} // namespace

TEST(EdsAgent, PairsAndFilesIntoEvolutionDataServer) {
    EdsSession session;
    session.enter();
    EdsTaskLists lists;
    const std::string reminders = lists.create("Reminders");
    DevRelayProcess relay((buildDir() / "tools/dev-relay").string(), "rk_agentedsendtoend01", http);
    relay.post("/dev/enqueue",
               json::array({{{"id", "dentist"}, {"title", "Call the dentist"}, {"allDay", false}, {"list", "Reminders"}},
                            {{"id", "rent"}, {"title", "Pay rent"}, {"allDay", true}, {"list", "Reminders"}}}));

    writeSettings(session.root() / "config"); // no backend setting: auto, on GNOME
    auto environment = session.environment();
    environment["XDG_CURRENT_DESKTOP"] = "GNOME";
    auto agent = startAgent(environment, {"--link-from", "/dev/stdin"});
    agent->send(relay.link());
    ASSERT_TRUE(answer(*agent, "1") && answer(*agent, "1")) << agent->output(); // pair, then OK
    ASSERT_TRUE(eventually([&] { return relay.get("/dev/state")["tokens"][0]["pending"].empty(); })) << agent->output();

    std::set<std::string> summaries;
    for (const auto& [uid, ical] : lists.todos(reminders))
        summaries.insert(EdsTaskLists::property(ical, "SUMMARY"));
    EXPECT_EQ(summaries, (std::set<std::string>{"SUMMARY:Call the dentist", "SUMMARY:Pay rent"}));
    EXPECT_FALSE(std::filesystem::exists(session.root() / "data/calendars")); // nothing went to a vdir

    EXPECT_EQ(agent->output().find("CRITICAL"), std::string::npos) << agent->output();
    agent->send("quit");
    EXPECT_EQ(agent->wait(), 0) << agent->output();
}

// `tavrelin-agent --caldav <address> <user>` with the password on standard
// input: refused, it changes nothing; taken, the running agent files there
// at once, and the password is in the keyring and nowhere else: not in any
// file of the session (settings, the agent's log), nor in what any user can
// read of the agent. `--caldav off` goes back to the automatic choice. The
// macOS words' build has no such option.
TEST(CalDavAgent, SetUpFromTheCommandLineTheRunningAgentFilesOnTheServerWithThePasswordOnlyInTheKeyring) {
    const std::string agentPath = (buildDir() / "Tavrelin.app/Contents/MacOS/tavrelin-agent").string();
    const std::string password = "Corr3ct-h0rse:battery staple";
    KeyringSession keyring;
    auto environment = keyring.environment();
    environment.insert({{"TZ", "UTC"}, {"TAVRELIN_REMINDERS_DIR", (keyring.root() / "calendars").string()}});
    auto caldav = [&](const std::vector<std::string>& arguments, const std::optional<std::string>& typed) {
        std::vector<std::string> command{agentPath, "--caldav"};
        command.insert(command.end(), arguments.begin(), arguments.end());
        Child child(command, withSanitizers(environment));
        if (typed)
            child.send(*typed);
        return std::pair{child.wait().value_or(-1), child.output()};
    };
    if (!platform::buildFeatures.serverAccounts) {
        EXPECT_EQ(caldav({"off"}, std::nullopt).first, 2);
        return;
    }
    CalDavServer server(CalDavServerKind::radicale, keyring.root() / "server", "alice", password, http);
    const std::string list = server.makeList("tasks", "Reminders");
    DevRelayProcess relay((buildDir() / "tools/dev-relay").string(), "rk_caldavcommandline1", http);
    writeSettings(keyring.root() / "config", "com.tavrelin.mac.hasShownWelcome=true\n");
    const fs::path settings = keyring.root() / "config/Tavrelin/Tavrelin.ini";
    writeFile(keyring.root() / "data/Tavrelin/pairing.json",
              json{{"apiBase", relay.api()}, {"token", "rk_caldavcommandline1"}, {"pairedAt", 0}}.dump());
    auto agent = startAgent(environment);
    ASSERT_TRUE(agent->await("info reminders backend: vdir ")) << agent->output();

    const std::string before = readFile(settings.string());
    const auto [refused, refusal] = caldav({server.address(), "alice"}, "not the password");
    EXPECT_EQ(refused, 1) << refusal;
    EXPECT_THAT(refusal, ::testing::HasSubstr("did not accept the password for alice"));
    EXPECT_EQ(readFile(settings.string()), before);

    const auto [status, said] = caldav({server.address(), "alice"}, password);
    ASSERT_EQ(status, 0) << said << server.output();
    EXPECT_THAT(said, ::testing::HasSubstr(words::account::commandSignedIn(
                          {platform::RemindersPlace::Kind::calDavServer, server.address(), "alice"}, true)));
    ASSERT_TRUE(agent->await("info reminders backend: now CalDAV " + server.address() + " as alice")) << agent->output();
    relay.post("/dev/enqueue", json::array({{{"id", "milk"}, {"title", "Milk"}, {"allDay", false}, {"list", "Reminders"}}}));
    ASSERT_TRUE(eventually([&] { return relay.get("/dev/state")["tokens"][0]["pending"].empty(); })) << agent->output();
    const auto filed = server.items(list);
    ASSERT_EQ(filed.size(), 1u);
    EXPECT_THAT(filed.begin()->second, ::testing::HasSubstr("SUMMARY:Milk"));
    EXPECT_TRUE(readLists(keyring.root() / "calendars").tasks.empty()) << "something went to the task-list folder";

    keyring.enter();
    EXPECT_EQ(secret::LibsecretSecrets().lookup({server.address(), "alice"}), password);
    EXPECT_THAT(readFile(settings.string()), ::testing::HasSubstr("caldavServer=" + server.address()));
    for (const auto& entry : fs::recursive_directory_iterator(keyring.root())) {
        if (entry.path().string().starts_with((keyring.root() / "server").string()))
            continue; // the server's own account file
        if (entry.is_regular_file()) {
            EXPECT_EQ(readFile(entry.path().string()).find(password), std::string::npos) << entry.path();
        }
    }
    EXPECT_EQ(agent->output().find(password), std::string::npos);
    EXPECT_EQ(visible(agent->pid()).find(password), std::string::npos);

    EXPECT_EQ(caldav({"off"}, std::nullopt).first, 0);
    ASSERT_TRUE(agent->await("info reminders backend: now vdir ")) << agent->output();
    EXPECT_THAT(readFile(settings.string()), ::testing::HasSubstr("remindersBackend=auto"));
    agent->send("quit");
    EXPECT_EQ(agent->wait(), 0) << agent->output();
}
