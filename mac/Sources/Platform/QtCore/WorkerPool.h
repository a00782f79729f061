#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tavrelin::qt {

// Up to `maxThreads` threads that run queued tasks in order and, once made,
// wait for more instead of ending. A waiting thread is woken after the queue's
// lock is released, so it never wakes only to block on that lock again: an
// idle poll costs its worker one wake-up.
class WorkerPool {
public:
    WorkerPool(std::string name, std::size_t maxThreads);
    // Never waits for a task: the owner waits for its background work with
    // waitForDone, within its own deadline. Tasks not started are dropped;
    // idle threads end and are joined; a thread still running a task is left
    // to end by itself, with the pool's state it shares.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    void start(std::function<void()> task);

    // Waits until nothing is queued or running, or until the time; answers
    // whether the pool went idle.
    bool waitForDone(std::chrono::steady_clock::time_point until);

private:
    struct State {
        std::string name;
        std::mutex mutex;
        std::condition_variable ready; // a task was queued, or the pool ends
        std::condition_variable idle;  // the last task finished
        std::deque<std::function<void()>> queue;
        std::size_t waiting = 0; // threads in ready.wait
        std::size_t running = 0; // tasks being run
        bool ending = false;
    };
    static void work(const std::shared_ptr<State>& state);

    const std::size_t maxThreads_;
    const std::shared_ptr<State> state_;
    std::vector<std::thread> threads_; // grows under the state's lock, until the pool ends
};

} // namespace tavrelin::qt
