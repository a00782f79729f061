// One agent per user: where the lock and socket live, the lock, and the
// requests a later process makes over the socket, on a real event loop.

#include "Platform/QtCore/SingleInstance.h"
#include "Support/SpinEventLoop.h"
#include "Support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace tavrelin::qt;
using namespace tavrelin::testing;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

// Sends the request, closes the sending side, and reads to the end.
std::string rawExchange(const std::string& socketPath, const std::string& request) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
    std::string answer;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size()) &&
        ::shutdown(fd, SHUT_WR) == 0) {
        timeval limit{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        char buffer[256];
        for (ssize_t count; (count = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            answer.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(fd);
    return answer;
}

class SingleInstanceTest : public ::testing::Test {
protected:
    void SetUp() override { application<QCoreApplication>(); }

    // Runs a blocking client call on a worker while the event loop lets the
    // agent answer.
    template <class Call> static auto serving(Call call) {
        auto result = std::async(std::launch::async, call);
        EXPECT_TRUE(spinUntil([&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10000))
            << "no answer within 10 s";
        return result.get();
    }

    TempFolder temp;
    const uid_t me = ::getuid();
};

TEST_F(SingleInstanceTest, OnlyAPrivateRuntimeFolderOfTheUsersCountsElseOneFallbackForAll) {
    const std::string fallback = temp / "tavrelin-" + std::to_string(me);
    const std::string good = temp / "run", wide = temp / "wide", missing = temp / "missing";
    fs::create_directories(good);
    fs::create_directories(wide);
    fs::permissions(good, fs::perms::owner_all, fs::perm_options::replace);
    fs::permissions(wide, fs::perms::owner_all | fs::perms::group_all, fs::perm_options::replace);
    const std::string deep = good + "/" + std::string(100, 'd');
    fs::create_directories(deep);
    fs::permissions(deep, fs::perms::owner_all, fs::perm_options::replace);

    const std::pair<std::string, bool> folders[] = {
        {good, true}, {"run", false} /* relative */, {"", false}, {missing, false}, {wide, false}, {temp / "file", false},
    };
    writeFile(temp / "file", "");
    for (const auto& [folder, usable] : folders)
        EXPECT_EQ(InstancePaths::usableRuntimeFolder(folder, me), usable) << folder;
    EXPECT_FALSE(InstancePaths::usableRuntimeFolder(good, me + 1)); // owned by another

    const std::pair<std::optional<std::string>, std::string> cases[] = {
        {good, good},     {std::nullopt, fallback}, {"run", fallback},
        {wide, fallback}, {deep, fallback}, // the socket's path would not fit
    };
    for (const auto& [runtime, folder] : cases) {
        const InstancePaths paths = InstancePaths::resolve(runtime, me, temp.path());
        EXPECT_EQ(paths.folder, folder) << runtime.value_or("(unset)");
        EXPECT_EQ(paths.socket, folder + "/tavrelin-agent.sock");
        EXPECT_EQ(paths.lock, folder + "/tavrelin-agent.lock");
    }
    struct stat info {};
    ASSERT_EQ(::lstat(fallback.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    // A fallback that lost its mode is ours and put right; one that is a link
    // or someone else's is refused.
    fs::permissions(fallback, fs::perms::owner_all | fs::perms::others_all, fs::perm_options::replace);
    InstancePaths::resolve(std::nullopt, me, temp.path());
    ASSERT_EQ(::lstat(fallback.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_THROW(InstancePaths::resolve(std::nullopt, me + 1, temp.path()), InstanceError); // our folder, not theirs
    fs::remove(fallback);
    fs::create_directory_symlink(good, fallback);
    EXPECT_THROW(InstancePaths::resolve(std::nullopt, me, temp.path()), InstanceError);
    EXPECT_THROW(InstancePaths::resolve(std::nullopt, me, temp.path() + "/" + std::string(100, 't')), InstanceError);
}

TEST_F(SingleInstanceTest, OneHolderListensAndALaterStartWaitsForItToLetGo) {
    const InstancePaths paths = InstancePaths::resolve(temp.path(), me, temp.path());
    auto agent = std::make_unique<SingleInstance>(paths);
    SingleInstance later(paths);
    EXPECT_THROW(agent->listen(), InstanceError); // not without the lock
    ASSERT_TRUE(agent->tryLock());
    EXPECT_FALSE(later.tryLock());
    EXPECT_THROW(later.listen(), InstanceError);
    EXPECT_EQ(readFile(paths.lock), std::to_string(::getpid()) + "\n");

    // A leftover socket file does not stop the holder.
    writeFile(paths.socket, "left over by a crash");
    agent->listen();
    EXPECT_TRUE(serving([&] { return later.ping(); }));
    EXPECT_EQ(serving([&] { return later.claim(std::chrono::milliseconds(0), [&] { return later.ping(); }); }),
              SingleInstance::Claim::answered);

    // Holding the lock without answering: quitting. Nobody runs beside it.
    agent->stopListening();
    EXPECT_FALSE(fs::exists(paths.socket));
    EXPECT_FALSE(later.ping());
    try {
        later.claim(std::chrono::milliseconds(200), [&] { return later.ping(); });
        ADD_FAILURE() << "claimed beside a holder";
    } catch (const InstanceError& error) {
        EXPECT_NE(std::string(error.what()).find("(process " + std::to_string(::getpid()) + ")"), std::string::npos)
            << error.what();
    }
    auto letGo = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        agent.reset();
    });
    EXPECT_EQ(later.claim(std::chrono::seconds(10), [&] { return later.ping(); }), SingleInstance::Claim::holder);
    letGo.get();
}

TEST_F(SingleInstanceTest, ALaterProcessHandsOverLinksAsksForStatusAndQuitStopsTheAnswering) {
    const InstancePaths paths = InstancePaths::resolve(temp.path(), me, temp.path());
    SingleInstance agent(paths), later(paths);
    Lines got;
    agent.onLink = [&](const std::string& link) { got.push_back(link); };
    agent.onQuit = [&] { got.push_back("quit"); };
    agent.status = [] { return std::string("Trouble: line one\nline two"); };
    EXPECT_FALSE(later.requestQuit()); // nobody listens yet
    ASSERT_TRUE(agent.tryLock());
    agent.listen();
    EXPECT_EQ(serving([&] { return later.requestStatus(); }), "Trouble: line one line two");
    // A line break cannot smuggle a second request in.
    EXPECT_TRUE(serving([&] { return later.handOver("tavrelin://pair?x\nquit"); }));
    EXPECT_TRUE(serving([&] { return later.requestQuit(); }));
    EXPECT_TRUE(spinUntil([&] { return got == Lines{"tavrelin://pair?x%0Aquit", "quit"}; })) << ::testing::PrintToString(got);
    // Once asked to quit, it answers nobody: a new start must wait for the lock.
    EXPECT_FALSE(agent.isListening());
    EXPECT_FALSE(fs::exists(paths.socket));
    EXPECT_FALSE(later.ping());
}

TEST_F(SingleInstanceTest, AnAgentRemovesOnlyItsOwnSocketAndSurvivesClientsThatMisbehave) {
    const InstancePaths paths = InstancePaths::resolve(temp.path(), me, temp.path());
    SingleInstance agent(paths), later(paths);
    ASSERT_TRUE(agent.tryLock());
    agent.listen();
    // A request longer than a line may be is dropped unanswered, and the
    // agent goes on answering.
    Lines links;
    agent.onLink = [&](const std::string& link) { links.push_back(link); };
    EXPECT_FALSE(serving([&] { return later.handOver(std::string(SingleInstance::maxLineBytes, 'x'), 2000); }));
    EXPECT_TRUE(serving([&] { return later.ping(); }));
    EXPECT_TRUE(links.empty());

    // A client that closes its side right after its request, as a shell
    // one-liner does, still gets its answer.
    agent.status = [] { return std::string("Connected"); };
    EXPECT_EQ(serving([&] { return rawExchange(paths.socket, "status\n"); }), "ok Connected\n");
    EXPECT_EQ(serving([&] { return rawExchange(paths.socket, "no such request\n"); }), "?\n");

    // Someone else's file at the path since: it stays.
    fs::rename(paths.socket, temp / "moved.sock");
    writeFile(paths.socket, "not ours");
    agent.stopListening();
    EXPECT_EQ(readFile(paths.socket), "not ours");
    EXPECT_TRUE(fs::exists(temp / "moved.sock"));
}

} // namespace
