#pragma once

#include "Platform/Date.h"

#include <functional>
#include <memory>

namespace tavrelin::platform {

// A scheduled timer. Destroying the handle invalidates the timer: its block
// never runs again, not even a firing already due.
class Timer {
public:
    virtual ~Timer() = default;
};

enum class Priority { normal, utility };

// The main thread's run loop and the background executor.
class MainLoop {
public:
    virtual ~MainLoop() = default;

    // Runs the block on the main thread after every block posted before it.
    virtual void post(std::function<void()> block) = 0;
    virtual bool isMainThread() const = 0;
    // A repeating timer on the main thread that keeps firing while a menu or a
    // modal dialog is open. First firing one period from now.
    [[nodiscard]] virtual std::unique_ptr<Timer> repeating(TimeInterval period, std::function<void()> block) = 0;
    // Runs the block once on the main thread after the delay.
    virtual void after(TimeInterval delay, std::function<void()> block) = 0;
    // Runs the block on a background thread.
    virtual void background(Priority priority, std::function<void()> block) = 0;

    // Runs the block now when already on the main thread, else posts it.
    void onMain(std::function<void()> block) {
        if (isMainThread())
            block();
        else
            post(std::move(block));
    }
};

} // namespace tavrelin::platform
