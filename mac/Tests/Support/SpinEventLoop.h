#pragma once

// For adapter tests that drive a real Qt event loop.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

namespace tavrelin::testing {

// The test program's one Qt application (QCoreApplication or a subclass), made
// on first use. Off screen unless QT_QPA_PLATFORM says otherwise, so a test run
// by hand neither needs a display nor puts windows on one.
template <class Application> Application& application() {
    static int argc = std::getenv("QT_QPA_PLATFORM") ? 1 : 3;
    static char* argv[] = {const_cast<char*>("tavrelin-test"), const_cast<char*>("-platform"), const_cast<char*>("offscreen"),
                           nullptr};
    static auto* instance = new Application(argc, argv);
    return *instance;
}

// Runs the event loop until the condition holds; false when the deadline passed first.
inline bool spinUntil(const std::function<bool()>& condition, int ms = 5000) {
    const QDeadlineTimer deadline(ms);
    while (!condition() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return condition();
}

// Bounds a wait that runs an event loop of its own (a modal dialog, a nested
// loop, the application's): if the wait is still on after `ms`, it fails the
// test with `what` and calls `release`, which should end the wait.
struct Deadline : QObject {
    Deadline(int ms, std::string what, std::function<void()> release) {
        // Gone with this object when the wait ends in time.
        QTimer::singleShot(ms, this, [what = std::move(what), release = std::move(release)] {
            ADD_FAILURE() << what << " (still waiting after the deadline)";
            release();
        });
    }
};

} // namespace tavrelin::testing
