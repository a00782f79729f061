// The poll as the agent runs it: the reminders module on Qt's main loop, its
// background half on the loop's worker pool, the relay client over curl to a
// relay on loopback, and a vdir in a temporary folder. Built with
// ThreadSanitizer, this is where a race between the two halves shows; and the
// worker pool on its own.

#include "Platform/Curl/CurlHttp.h"
#include "Platform/Posix/PosixFiles.h"
#include "Platform/Posix/SystemClock.h"
#include "Platform/QtCore/QtMainLoop.h"
#include "Platform/QtCore/WorkerPool.h"
#include "Platform/Vdir/VdirRemindersDatabase.h"
#include "Support/FakePlatform.h"
#include "Support/LoopbackServer.h"
#include "Support/SpinEventLoop.h"
#include "Support/TempFolder.h"
#include "TavrelinMac/RemindersModule.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <deque>
#include <future>

using namespace tavrelin;
using namespace tavrelin::testing;
using json = nlohmann::json;
using namespace std::chrono_literals;

namespace {

// The relay's two device endpoints over one queue, served on loopback. Each
// fetch waits at `fetches` first, so the test decides when a poll gets its answer.
struct QtPollTest : ::testing::Test {
    QtPollTest() { makeList(lists, "home", "Home"); }
    ~QtPollTest() override {
        fetches.open(); // a poll still held would keep the pool, and the server, from ending
        module.reset();
        mainLoop.reset();
    }

    void enqueue(const std::string& id) {
        std::lock_guard lock(mutex);
        queue.push_back({{"id", id}, {"title", "Item " + id}, {"allDay", false}, {"list", "Home"}});
    }
    std::size_t pending() const {
        std::lock_guard lock(mutex);
        return queue.size();
    }
    bool settled() const { return !module->inFlight() && pending() == 0; }
    // Queues `id` and holds the next fetch, which `poll` makes; answers once it reached the relay.
    bool held(const char* id, const std::function<void()>& poll) {
        fetches.close();
        enqueue(id);
        const int before = fetches.arrivals();
        poll();
        return spinUntil([&] { return fetches.arrivals() == before + 1; }, 60000);
    }
    std::size_t filed() const { return files.list(lists + "/home").size() - 1; } // less displayname

    QCoreApplication& qtApplication = tavrelin::testing::application<QCoreApplication>();
    TempFolder dir;
    std::string lists = dir / "calendars";
    posix::PosixFiles files;
    vdir::VdirRemindersDatabase database{lists, files};
    posix::SystemClock clock;
    curl::CurlHttp http;
    fake::FakeBundle bundle;
    AppInfo appInfo{bundle};
    SyncState state{clock};
    Gate fetches;
    mutable std::mutex mutex;
    std::deque<json> queue;
    LoopbackServer server{[this](httplib::Server& s) {
        s.Get("/relay/device/pending", [this](const httplib::Request&, httplib::Response& response) {
            if (!fetches.pass()) {
                response.status = 504; // the test gave up on this poll
                return;
            }
            std::lock_guard lock(mutex);
            response.set_content(json{{"items", json(queue)}}.dump(), "application/json");
        });
        s.Post("/relay/device/ack", [this](const httplib::Request& request, httplib::Response& response) {
            const auto ids = json::parse(request.body).at("ids").get<std::vector<std::string>>();
            std::lock_guard lock(mutex);
            std::erase_if(queue,
                          [&](const json& item) { return std::ranges::count(ids, item.at("id").get<std::string>()) > 0; });
            response.set_content(R"({"ok":true})", "application/json");
        });
    }};
    std::unique_ptr<qt::QtMainLoop> mainLoop = std::make_unique<qt::QtMainLoop>();
    std::shared_ptr<RemindersModule> module =
        std::make_shared<RemindersModule>(*mainLoop, clock, http, appInfo, database, state);
    Pairing pairing{server.url(), "rk_qtpolltest012345", clock.now()};
};

} // namespace

// A start and its poll; then Sync Now, a stop and a quit, each while a fetch is held.
TEST_F(QtPollTest, PollsOnTheWorkerPoolAndRecordsOnTheMainThread) {
    fetches.open();
    for (const char* id : {"a", "b", "c"})
        enqueue(id);
    module->start(pairing);
    ASSERT_TRUE(spinUntil([&] { return settled(); }, 60000)) << "the first poll did not end";

    // Sync Now while the fetch is held: the main thread reads what the menu
    // shows meanwhile, and the second request makes no second poll.
    ASSERT_TRUE(held("f", [&] { module->syncNow(); })) << "no fetch reached the relay";
    const int before = fetches.arrivals();
    module->syncNow();
    EXPECT_FALSE(module->menuItems().empty());
    fetches.open();
    ASSERT_TRUE(spinUntil([&] { return settled(); }, 60000)) << "the held poll did not end";
    EXPECT_EQ(fetches.arrivals(), before);
    EXPECT_EQ(state.deliveredThisSession(), 4);

    // A stop while the fetch is held: the poll still files and acknowledges
    // its item. (That its outcome is dropped is the module logic's.)
    ASSERT_TRUE(held("g", [&] { module->syncNow(); })) << "no fetch reached the relay";
    module->stop();
    fetches.open();
    ASSERT_TRUE(spinUntil([&] { return settled(); }, 60000)) << "the poll running at the stop did not end";
    EXPECT_EQ(filed(), 5u);

    // A quit while a fetch is held, as the agent's own ends: the module goes,
    // the pool is waited for, and the loop goes with the poll's last block
    // still queued on it.
    ASSERT_TRUE(held("h", [&] { module->start(pairing); })) << "no fetch reached the relay";
    std::weak_ptr<RemindersModule> weak = module;
    module.reset();
    fetches.open();
    EXPECT_TRUE(mainLoop->waitForBackground(60)) << "the poll did not end after its answer came";
    mainLoop.reset();
    EXPECT_TRUE(weak.expired()) << "the module outlived the main loop";
    EXPECT_EQ(pending(), 0u);
    EXPECT_EQ(filed(), 6u);
}

// Every task waits until the pool's three threads are busy at once: a pool that
// made fewer threads, or ran the tasks one after another, never gets there.
TEST(WorkerPool, RunsAsManyTasksAtOnceAsItHasThreadsAndQueuesTheRest) {
    std::mutex mutex;
    std::condition_variable changed;
    int running = 0, peak = 0, done = 0;
    qt::WorkerPool pool("test", 3);
    for (int i = 0; i < 7; ++i)
        pool.start([&] {
            std::unique_lock<std::mutex> lock(mutex);
            peak = std::max(peak, ++running);
            changed.notify_all();
            changed.wait_for(lock, 30s, [&] { return peak >= 3; });
            --running;
            ++done;
        });
    ASSERT_TRUE(pool.waitForDone(std::chrono::steady_clock::now() + 60s));
    EXPECT_EQ(peak, 3);
    EXPECT_EQ(done, 7);

    // The threads now wait for work; a new task wakes one.
    pool.start([&] { done = 8; });
    ASSERT_TRUE(pool.waitForDone(std::chrono::steady_clock::now() + 60s));
    EXPECT_EQ(done, 8);
}

// Ending the pool never waits for a task (the agent waits for its background
// work within its quit deadline, then leaves): one running is left to finish
// by itself, and one not started yet never runs.
TEST(WorkerPool, EndingLeavesARunningTaskToItselfAndDropsQueuedOnes) {
    auto started = std::make_shared<std::promise<void>>();
    auto release = std::make_shared<std::promise<void>>();
    auto finished = std::make_shared<std::promise<void>>();
    auto queuedRan = std::make_shared<std::atomic<bool>>(false);
    std::future<void> finishedFuture = finished->get_future();
    {
        qt::WorkerPool pool("test", 1);
        // It gives up by itself after a minute, so a failure here cannot hang.
        pool.start([started, released = release->get_future().share(), finished] {
            started->set_value();
            released.wait_for(60s);
            finished->set_value();
        });
        pool.start([queuedRan] { *queuedRan = true; });
        ASSERT_EQ(started->get_future().wait_for(60s), std::future_status::ready);
    }
    EXPECT_EQ(finishedFuture.wait_for(0s), std::future_status::timeout) << "ending the pool waited for its task";
    release->set_value();
    EXPECT_EQ(finishedFuture.wait_for(60s), std::future_status::ready);
    EXPECT_FALSE(*queuedRan);
}
