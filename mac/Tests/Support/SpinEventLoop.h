#pragma once

// For adapter tests that drive a real Qt event loop.

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <functional>

namespace tavrelin::testing {

// The test program's one Qt application (QCoreApplication or a subclass), made on first use.
template <class Application> Application& application() {
    static int argc = 1;
    static char* argv[] = {const_cast<char*>("tavrelin-test"), nullptr};
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

} // namespace tavrelin::testing
