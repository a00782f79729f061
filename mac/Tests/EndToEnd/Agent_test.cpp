// The built agent, headless, as a process: driven through its standard input,
// watched on its standard output (protocol) and error (log), against the dev
// relay on loopback and a task-list folder of its own.

#include "Platform/Curl/CurlHttp.h"
#include "Support/DevRelayProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::chrono_literals;

namespace {

// Generous: the machine is shared and sanitizer builds are slow.
constexpr auto deadline = 60s;

fs::path buildDir() {
    const char* dir = std::getenv("TAVRELIN_BUILD_DIR");
    return dir ? fs::path(dir) : fs::current_path();
}

fs::path agentPath() {
    return buildDir() / "Tavrelin.app/Contents/MacOS/tavrelin-agent";
}

// A child process with pipes on its three standard streams. Output is read by
// one thread per stream; tests wait for text to appear, never for time.
class Process {
public:
    Process(const fs::path& program, const std::vector<std::string>& arguments,
            const std::map<std::string, std::string>& environment) {
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        std::vector<std::string> args{program.string()};
        args.insert(args.end(), arguments.begin(), arguments.end());
        std::vector<std::string> env;
        for (const auto& [name, value] : environment)
            env.push_back(name + "=" + value);
        std::vector<char*> argv, envp;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);

        pid_ = ::fork();
        if (pid_ < 0)
            throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        stdin_ = in[1];
        readers_.emplace_back([this, fd = out[0]] { pump(fd, out_); });
        readers_.emplace_back([this, fd = err[0]] { pump(fd, err_); });
    }

    ~Process() {
        closeInput();
        if (!exited_) {
            ::kill(pid_, SIGKILL);
            int status;
            ::waitpid(pid_, &status, 0);
        }
        for (auto& reader : readers_)
            reader.join();
    }

    void send(const std::string& line) {
        std::string text = line + "\n";
        ASSERT_EQ(::write(stdin_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void closeInput() {
        if (stdin_ >= 0)
            ::close(stdin_);
        stdin_ = -1;
    }
    void signal(int number) { ::kill(pid_, number); }

    // Waits for the text to appear on the stream after what earlier waits on
    // that stream consumed; answers the text from the old mark to the end of
    // the match, and moves the mark past it.
    std::optional<std::string> awaitOut(const std::string& text) { return await(out_, text); }
    std::optional<std::string> awaitErr(const std::string& text) { return await(err_, text); }

    // Waits for the next printed block ("[alert]" or "[menu]") and answers it
    // whole, up to and including its "[end]".
    std::optional<std::string> awaitBlock(const std::string& opening) {
        if (!awaitOut(opening))
            return std::nullopt;
        auto rest = awaitOut("[end]\n");
        return rest ? std::optional(opening + *rest) : std::nullopt;
    }

    std::optional<int> awaitExit() {
        auto until = std::chrono::steady_clock::now() + deadline;
        while (std::chrono::steady_clock::now() < until) {
            int status = 0;
            pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(20ms);
        }
        return std::nullopt;
    }

    std::string allErr() {
        std::lock_guard lock(mutex_);
        return err_.text;
    }
    std::string allOut() {
        std::lock_guard lock(mutex_);
        return out_.text;
    }

private:
    struct Stream {
        std::string text;
        std::size_t mark = 0;
        bool closed = false;
    };

    void pump(int fd, Stream& stream) {
        char buffer[4096];
        for (;;) {
            ssize_t count = ::read(fd, buffer, sizeof buffer);
            if (count < 0 && errno == EINTR)
                continue;
            std::lock_guard lock(mutex_);
            if (count <= 0) {
                stream.closed = true;
                changed_.notify_all();
                break;
            }
            stream.text.append(buffer, static_cast<std::size_t>(count));
            changed_.notify_all();
        }
        ::close(fd);
    }

    std::optional<std::string> await(Stream& stream, const std::string& text) {
        std::unique_lock lock(mutex_);
        std::size_t found = std::string::npos;
        bool seen = changed_.wait_for(lock, deadline, [&] {
            found = stream.text.find(text, stream.mark);
            return found != std::string::npos || stream.closed;
        });
        if (!seen || found == std::string::npos)
            return std::nullopt;
        std::string consumed = stream.text.substr(stream.mark, found + text.size() - stream.mark);
        stream.mark = found + text.size();
        return consumed;
    }

    pid_t pid_ = -1;
    int stdin_ = -1;
    bool exited_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    Stream out_, err_;
    std::vector<std::thread> readers_;
};

// The dev relay on a free loopback port.
struct DevRelay {
    static constexpr const char* token = "rk_agentendtoend0001";
    tavrelin::curl::CurlHttp http;
    tavrelin::testing::DevRelayProcess process{(buildDir() / "tools/dev-relay").string(), token, http, true};
    std::string link = std::string("tavrelin://pair?token=") + token + "&api=" + process.api();

    json enqueue(const json& items) { return process.post("/dev/enqueue", items); }
    json state() { return process.get("/dev/state"); }
};

// A home of its own for each test: data, config, cache, runtime folder and
// task lists, all removed afterwards.
class Agent : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(agentPath())) << agentPath() << " is not built";
        char pattern[] = "/tmp/tavrelin-e2e-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root = pattern;
        for (const char* folder : {"home", "data", "config", "cache", "run", "calendars/reminders"})
            fs::create_directories(root / folder);
        fs::permissions(root / "run", fs::perms::owner_all, fs::perm_options::replace);
        std::ofstream(root / "calendars/reminders/displayname") << "Reminders";
        // The build runs in place: the offer to move it was declined before.
        fs::create_directories(root / "config/Tavrelin");
        std::ofstream(root / "config/Tavrelin/Tavrelin.ini") << "[General]\ncom.tavrelin.mac.declinedMoveToApplications=true\n";
        environment = {
            {"HOME", (root / "home").string()},
            {"XDG_DATA_HOME", (root / "data").string()},
            {"XDG_CONFIG_HOME", (root / "config").string()},
            {"XDG_CACHE_HOME", (root / "cache").string()},
            {"XDG_RUNTIME_DIR", (root / "run").string()},
            {"TAVRELIN_REMINDERS_DIR", (root / "calendars").string()},
            {"PATH", "/usr/bin:/bin"},
            {"TZ", "UTC"},
        };
        for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"})
            if (const char* value = std::getenv(name))
                environment[name] = value;
    }

    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    std::unique_ptr<Process> start(std::vector<std::string> arguments = {}) {
        arguments.insert(arguments.begin(), "--headless");
        return std::make_unique<Process>(agentPath(), arguments, environment);
    }

    // Answers the next dialog after checking its title; answers its text.
    std::string answer(Process& agent, const std::string& title, const std::string& choice) {
        auto block = agent.awaitBlock("[alert]");
        EXPECT_TRUE(block) << "no dialog; log so far:\n" << agent.allErr();
        if (!block)
            return {};
        EXPECT_NE(block->find("\n" + title + "\n"), std::string::npos) << *block;
        agent.send(choice);
        return *block;
    }

    std::vector<fs::path> filed() {
        std::vector<fs::path> files;
        for (const auto& entry : fs::recursive_directory_iterator(root / "calendars"))
            if (entry.path().extension() == ".ics")
                files.push_back(entry.path());
        return files;
    }

    // Waits for the condition, checking it every little while.
    static bool eventually(const std::function<bool()>& condition) {
        auto until = std::chrono::steady_clock::now() + deadline;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > until)
                return false;
            std::this_thread::sleep_for(50ms);
        }
        return true;
    }

    fs::path pairingFile() const { return root / "data/Tavrelin/pairing.json"; }

    fs::path root;
    std::map<std::string, std::string> environment;
};

TEST_F(Agent, FirstLaunchPairingDeliveryUnpairAndQuit) {
    DevRelay relay;
    auto ids = relay.enqueue(json::array({
        {{"title", "Call the dentist"}, {"dueIso", "2030-05-04T09:30:00"}, {"allDay", false}, {"list", "Reminders"}},
        {{"title", "Lost"}, {"allDay", true}, {"dueIso", "2030-05-05"}, {"list", "No such list"}},
    }))["ids"];
    auto agent = start();

    // First launch: the welcome, once, then the menu.
    std::string welcome = answer(*agent, "Thanks for installing Tavrelin", "1");
    EXPECT_EQ(welcome.rfind("[alert] informational\n", 0), 0u) << welcome;
    ASSERT_TRUE(agent->awaitBlock("[menu]"));
    ASSERT_TRUE(agent->awaitErr("Tavrelin for Mac "));

    agent->send("open " + relay.link);
    std::string confirm = answer(*agent, "Let this Mac collect your reminders?", "1");
    EXPECT_NE(confirm.find("1. Pair this Mac\n2. Cancel\n[end]"), std::string::npos) << confirm;
    answer(*agent, "Tavrelin is paired", "1");
    ASSERT_TRUE(agent->awaitErr("paired with 127.0.0.1"));
    EXPECT_TRUE(fs::exists(pairingFile()));

    // The item for a known list is filed and acknowledged; the other waits.
    ASSERT_TRUE(eventually([&] { return filed().size() == 1; })) << agent->allErr();
    EXPECT_EQ(filed()[0].parent_path().filename(), "reminders");
    std::ifstream ics(filed()[0]);
    std::string content((std::istreambuf_iterator<char>(ics)), {});
    EXPECT_NE(content.find("Call the dentist"), std::string::npos) << content;
    json acked;
    ASSERT_TRUE(eventually([&] {
        acked = relay.state()["tokens"][0];
        return !acked["acks"].empty();
    }));
    EXPECT_EQ(acked["acks"][0]["ids"], json::array({ids[0]}));
    EXPECT_EQ(acked["acks"][0]["lists"], json::array({"Reminders"}));
    ASSERT_EQ(acked["pending"].size(), 1u);
    EXPECT_EQ(acked["pending"][0]["id"], ids[1]);

    // Unpair from the menu, by the item's number.
    agent->send("menu");
    auto menu = agent->awaitBlock("[menu]");
    ASSERT_TRUE(menu);
    const auto item = menu->find(". Unpair this Mac…\n");
    ASSERT_NE(item, std::string::npos) << *menu;
    const auto line = menu->rfind('\n', item) + 1;
    agent->send(menu->substr(line, item - line));
    answer(*agent, "Unpair this Mac?", "1");
    ASSERT_TRUE(agent->awaitErr("module reminders stopped"));
    ASSERT_TRUE(agent->awaitErr("unpaired"));
    EXPECT_FALSE(fs::exists(pairingFile()));

    agent->send("quit");
    EXPECT_EQ(agent->awaitExit(), 0);
    EXPECT_EQ(agent->allOut().find("Thanks for installing"), agent->allOut().rfind("Thanks for installing"));
}

TEST_F(Agent, LinksFromLaterProcessesRestartAndTheSingleInstance) {
    DevRelay relay;
    // Started by the link: no welcome, the first-pairing question at once.
    auto agent = start({relay.link});
    answer(*agent, "Let this Mac collect your reminders?", "Pair this Mac");
    answer(*agent, "Tavrelin is paired", "OK");
    ASSERT_TRUE(agent->awaitErr("paired with 127.0.0.1"));

    // A later process with the link hands it over and ends.
    {
        auto later = start({relay.link});
        EXPECT_EQ(later->awaitExit(), 0);
        EXPECT_TRUE(later->allOut().empty()) << later->allOut();
    }
    std::string replace = answer(*agent, "Replace this Mac’s pairing?", "2");
    EXPECT_NE(replace.find("1. Replace\n2. Cancel\n"), std::string::npos) << replace;
    ASSERT_TRUE(agent->awaitErr("pairing link declined; keeping 127.0.0.1"));

    // A later process without a link is another instance and leaves.
    {
        auto second = start();
        EXPECT_EQ(second->awaitExit(), 0);
        EXPECT_NE(second->allErr().find("another instance is already running; exiting"), std::string::npos) << second->allErr();
        EXPECT_EQ(second->allOut().find("[alert]"), std::string::npos);
    }

    agent->send("quit");
    ASSERT_EQ(agent->awaitExit(), 0);
    agent.reset();

    // The next launch restores the pairing and shows no welcome.
    auto again = start();
    ASSERT_TRUE(again->awaitErr("restored pairing for 127.0.0.1")) << again->allErr();
    again->send("menu");
    auto first = again->awaitOut("[");
    ASSERT_TRUE(first);
    EXPECT_EQ(again->allOut().find("[alert]"), std::string::npos) << again->allOut();
    // A signal ends it as Quit does.
    again->signal(SIGTERM);
    EXPECT_EQ(again->awaitExit(), 0);
    EXPECT_NE(again->allErr().find("module reminders stopped"), std::string::npos) << again->allErr();
    EXPECT_TRUE(fs::exists(pairingFile()));
}

TEST_F(Agent, EndOfInputCancelsADialogAndTheAgentKeepsRunning) {
    DevRelay relay;
    auto agent = start({relay.link});
    ASSERT_TRUE(agent->awaitBlock("[alert]"));
    agent->closeInput(); // the last button: Cancel
    ASSERT_TRUE(agent->awaitErr("first pairing declined for 127.0.0.1"));
    EXPECT_FALSE(fs::exists(pairingFile()));
    // Still running: another process is told so.
    auto second = start();
    EXPECT_EQ(second->awaitExit(), 0);
    EXPECT_NE(second->allErr().find("another instance is already running; exiting"), std::string::npos);
    agent->signal(SIGINT);
    EXPECT_EQ(agent->awaitExit(), 0);
}

} // namespace
