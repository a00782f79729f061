#pragma once

// A real main loop for end-to-end tests: blocks posted from any thread run in
// order on the thread that calls runUntil(); background blocks run on threads
// of their own; timers follow the steady clock.

#include "Platform/Clock.h"
#include "Platform/MainLoop.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <ctime>
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

// The wall clock and the local calendar of this machine.
class SystemClock final : public platform::Clock {
public:
    platform::Date now() const override {
        auto since = std::chrono::system_clock::now().time_since_epoch();
        return platform::Date::fromUnix(std::chrono::duration<double>(since).count());
    }
    std::optional<platform::Date> localDate(const platform::DateComponents& c) const override {
        if (!c.year || !c.month || !c.day)
            return std::nullopt;
        auto fits = [](const std::optional<std::int64_t>& v) { return !v || (*v > -1'000'000 && *v < 1'000'000); };
        if (!fits(c.year) || !fits(c.month) || !fits(c.day) || !fits(c.hour) || !fits(c.minute))
            return std::nullopt;
        std::tm fields{};
        fields.tm_year = static_cast<int>(*c.year - 1900);
        fields.tm_mon = static_cast<int>(*c.month - 1);
        fields.tm_mday = static_cast<int>(*c.day);
        fields.tm_hour = static_cast<int>(c.hour.value_or(0));
        fields.tm_min = static_cast<int>(c.minute.value_or(0));
        fields.tm_isdst = -1;
        std::time_t moment = std::mktime(&fields);
        if (moment == static_cast<std::time_t>(-1))
            return std::nullopt;
        return platform::Date::fromUnix(static_cast<double>(moment));
    }
};

} // namespace tavrelin::testing
