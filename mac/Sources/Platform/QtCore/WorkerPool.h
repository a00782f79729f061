#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
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
    ~WorkerPool(); // runs what is queued, then ends the threads
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    void start(std::function<void()> task);

    // Waits until nothing is queued or running, or until the time; answers
    // whether the pool went idle.
    bool waitForDone(std::chrono::steady_clock::time_point until);

private:
    void work();

    const std::string name_;
    const std::size_t maxThreads_;
    std::mutex mutex_;
    std::condition_variable ready_; // a task was queued, or the pool ends
    std::condition_variable idle_;  // the last task finished
    std::deque<std::function<void()>> queue_;
    std::vector<std::thread> threads_;
    std::size_t waiting_ = 0; // threads in ready_.wait
    std::size_t running_ = 0; // tasks being run
    bool ending_ = false;
};

} // namespace tavrelin::qt
