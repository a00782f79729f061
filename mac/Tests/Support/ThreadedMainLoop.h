#pragma once

// A real main loop for end-to-end tests: blocks posted from any thread run in
// order on the thread that calls runUntil(); background blocks run on threads
// of their own; timers follow the steady clock.

#include "Platform/MainLoop.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tavrelin::testing {

class ThreadedMainLoop final : public platform::MainLoop {
public:
    using SteadyClock = std::chrono::steady_clock;

    ThreadedMainLoop() : mainThread_(std::this_thread::get_id()) {}
    ~ThreadedMainLoop() override { joinBackground(); }
    ThreadedMainLoop(const ThreadedMainLoop&) = delete;
    ThreadedMainLoop& operator=(const ThreadedMainLoop&) = delete;

    void post(std::function<void()> block) override {
        {
            std::lock_guard lock(mutex_);
            posted_.push_back(std::move(block));
        }
        wake_.notify_all();
    }

    bool isMainThread() const override { return std::this_thread::get_id() == mainThread_; }

    std::unique_ptr<platform::Timer> repeating(platform::TimeInterval period, std::function<void()> block) override {
        auto handle = std::make_unique<Handle>();
        schedule(period, period, std::move(block), handle->alive);
        return handle;
    }

    void after(platform::TimeInterval delay, std::function<void()> block) override {
        schedule(delay, 0, std::move(block), std::make_shared<std::atomic<bool>>(true));
    }

    void background(platform::Priority, std::function<void()> block) override {
        std::lock_guard lock(mutex_);
        threads_.emplace_back(std::move(block));
    }

    // Runs posted blocks and due timers on this thread until `done` holds
    // (checked after each block) or the time limit passes; answers `done()`.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
        const auto deadline = SteadyClock::now() + limit;
        while (!done()) {
            std::function<void()> block;
            {
                std::unique_lock lock(mutex_);
                for (;;) {
                    if (!posted_.empty()) {
                        block = std::move(posted_.front());
                        posted_.pop_front();
                        break;
                    }
                    if (auto due = takeDueTimer()) {
                        block = std::move(due);
                        break;
                    }
                    auto now = SteadyClock::now();
                    if (now >= deadline)
                        return done();
                    wake_.wait_until(lock, std::min(deadline, nextTimerDue()));
                }
            }
            block();
        }
        return true;
    }

    // Waits for every background thread, then runs what they posted.
    void finish() {
        joinBackground();
        for (;;) {
            std::function<void()> block;
            {
                std::lock_guard lock(mutex_);
                if (posted_.empty())
                    return;
                block = std::move(posted_.front());
                posted_.pop_front();
            }
            block();
        }
    }

    void joinBackground() {
        for (;;) {
            std::vector<std::thread> threads;
            {
                std::lock_guard lock(mutex_);
                threads.swap(threads_);
            }
            if (threads.empty())
                return;
            for (auto& thread : threads)
                thread.join();
        }
    }

private:
    struct Handle final : platform::Timer {
        std::shared_ptr<std::atomic<bool>> alive = std::make_shared<std::atomic<bool>>(true);
        ~Handle() override { *alive = false; }
    };
    struct Scheduled {
        SteadyClock::time_point due;
        platform::TimeInterval period;
        std::function<void()> block;
        std::shared_ptr<std::atomic<bool>> alive;
    };

    static SteadyClock::duration seconds(platform::TimeInterval value) {
        return std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(value));
    }

    void schedule(platform::TimeInterval delay, platform::TimeInterval period, std::function<void()> block,
                  std::shared_ptr<std::atomic<bool>> alive) {
        {
            std::lock_guard lock(mutex_);
            timers_.push_back({SteadyClock::now() + seconds(delay), period, std::move(block), std::move(alive)});
        }
        wake_.notify_all();
    }

    // Called with the lock held.
    std::function<void()> takeDueTimer() {
        auto now = SteadyClock::now();
        for (auto it = timers_.begin(); it != timers_.end(); ++it) {
            if (it->due > now)
                continue;
            auto alive = it->alive;
            std::function<void()> block = it->block;
            if (it->period > 0)
                it->due = now + seconds(it->period);
            else
                timers_.erase(it);
            return [alive, block] {
                if (*alive)
                    block();
            };
        }
        return {};
    }

    SteadyClock::time_point nextTimerDue() const {
        auto next = SteadyClock::time_point::max();
        for (const auto& timer : timers_)
            next = std::min(next, timer.due);
        return next;
    }

    const std::thread::id mainThread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> posted_;
    std::vector<Scheduled> timers_;
    std::vector<std::thread> threads_;
};

} // namespace tavrelin::testing
