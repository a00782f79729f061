#include "Platform/QtCore/WorkerPool.h"

#include <pthread.h>

namespace tavrelin::qt {

WorkerPool::WorkerPool(std::string name, std::size_t maxThreads)
    : maxThreads_(maxThreads < 1 ? 1 : maxThreads), state_(std::make_shared<State>()) {
    state_->name = std::move(name);
}

WorkerPool::~WorkerPool() {
    std::deque<std::function<void()>> dropped;
    bool busy = false;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->ending = true;
        dropped.swap(state_->queue);
        busy = state_->running > 0;
    }
    state_->ready.notify_all();
    // Idle threads only wake up and return. One caught in a task (a poll in
    // a slow exchange) must not hold up the process's end.
    for (auto& thread : threads_) {
        if (busy)
            thread.detach();
        else
            thread.join();
    }
}

void WorkerPool::start(std::function<void()> task) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->ending)
            return;
        state_->queue.push_back(std::move(task));
        // A woken thread leaves `waiting` only once it runs, so more queued
        // tasks than waiting threads means one more thread is needed.
        if (state_->queue.size() > state_->waiting && threads_.size() < maxThreads_)
            threads_.emplace_back([state = state_] { work(state); });
        wake = state_->waiting > 0;
    }
    if (wake)
        state_->ready.notify_one();
}

bool WorkerPool::waitForDone(std::chrono::steady_clock::time_point until) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->idle.wait_until(lock, until, [this] { return state_->queue.empty() && state_->running == 0; });
}

void WorkerPool::work(const std::shared_ptr<State>& state) {
    // No lower priority for the utility pool: what a thread starts inherits
    // it, the relaunched agent included.
#if defined(__APPLE__)
    // macOS names only the calling thread.
    pthread_setname_np(state->name.c_str());
#else
    // Linux names threads up to 15 bytes.
    pthread_setname_np(pthread_self(), state->name.substr(0, 15).c_str());
#endif

    std::unique_lock<std::mutex> lock(state->mutex);
    for (;;) {
        if (!state->queue.empty()) {
            std::function<void()> task = std::move(state->queue.front());
            state->queue.pop_front();
            ++state->running;
            lock.unlock();
            task();
            task = nullptr; // what the task holds goes before it counts as done
            lock.lock();
            --state->running;
            if (state->queue.empty() && state->running == 0)
                state->idle.notify_all();
            continue;
        }
        if (state->ending)
            return;
        ++state->waiting;
        state->ready.wait(lock);
        --state->waiting;
    }
}

} // namespace tavrelin::qt
