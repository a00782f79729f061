#pragma once

// For adapter tests that drive a real Qt event loop.

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <functional>

namespace tavrelin::testing {

// The test program's one Qt application (QCoreApplication or a subclass), made on first use.
template <class Application> Application& application() {
    static int argc = 1;
    static char name[] = "tavrelin-test";
    static char* argv[] = {name, nullptr};
    static auto* instance = new Application(argc, argv);
    return *instance;
}

// Runs the event loop until the condition holds; false when the deadline passed.
inline bool spinUntil(const std::function<bool()>& condition, int ms = 5000) {
    QDeadlineTimer deadline(ms);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

} // namespace tavrelin::testing
