#include "Platform/QtCore/WorkerPool.h"

#include <pthread.h>

namespace tavrelin::qt {

WorkerPool::WorkerPool(std::string name, std::size_t maxThreads)
    : name_(std::move(name)), maxThreads_(maxThreads < 1 ? 1 : maxThreads) {}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ending_ = true;
    }
    ready_.notify_all();
    for (auto& thread : threads_)
        thread.join();
}

void WorkerPool::start(std::function<void()> task) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(task));
        // A woken thread leaves `waiting_` only once it runs, so more queued
        // tasks than waiting threads means one more thread is needed. Once
        // ending, the threads there are drain the queue: the list of threads
        // is being joined.
        if (queue_.size() > waiting_ && threads_.size() < maxThreads_ && !ending_)
            threads_.emplace_back([this] { work(); });
        wake = waiting_ > 0;
    }
    if (wake)
        ready_.notify_one();
}

bool WorkerPool::waitForDone(std::chrono::steady_clock::time_point until) {
    std::unique_lock<std::mutex> lock(mutex_);
    return idle_.wait_until(lock, until, [this] { return queue_.empty() && running_ == 0; });
}

void WorkerPool::work() {
    // Linux names threads up to 15 bytes. No lower priority for the utility
    // pool: what a thread starts inherits it, the relaunched agent included.
    pthread_setname_np(pthread_self(), name_.substr(0, 15).c_str());

    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (!queue_.empty()) {
            std::function<void()> task = std::move(queue_.front());
            queue_.pop_front();
            ++running_;
            lock.unlock();
            task();
            task = nullptr; // what the task holds goes before it counts as done
            lock.lock();
            --running_;
            if (queue_.empty() && running_ == 0)
                idle_.notify_all();
            continue;
        }
        if (ending_)
            return;
        ++waiting_;
        ready_.wait(lock);
        --waiting_;
    }
}

} // namespace tavrelin::qt
