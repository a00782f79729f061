#pragma once

#include "Platform/MainLoop.h"

#include "Platform/QtCore/WorkerPool.h"

#include <QObject>
#include <QThread>

#include <memory>

namespace tavrelin::qt {

// The main thread's Qt event loop and two worker pools. Create it on the main
// thread after the QCoreApplication.
class QtMainLoop final : public platform::MainLoop {
public:
    QtMainLoop();
    ~QtMainLoop() override;
    QtMainLoop(const QtMainLoop&) = delete;
    QtMainLoop& operator=(const QtMainLoop&) = delete;

    void post(std::function<void()> block) override;
    bool isMainThread() const override;
    std::unique_ptr<platform::Timer> repeating(platform::TimeInterval period, std::function<void()> block) override;
    void after(platform::TimeInterval delay, std::function<void()> block) override;
    void background(platform::Priority priority, std::function<void()> block) override;

    // Waits up to the deadline for background work to finish; answers whether
    // it did. A poll stuck in a slow exchange must not hold up quitting forever.
    bool waitForBackground(platform::TimeInterval deadline);

    // The object queued blocks are delivered to; it lives on the main thread.
    QObject* receiver() const { return receiver_.get(); }

private:
    std::unique_ptr<QObject> receiver_;
    QThread* mainThread_;
    // Destroyed in reverse: a poll's last steps may still queue utility work,
    // so the normal pool ends first.
    WorkerPool utility_;
    WorkerPool normal_;
};

} // namespace tavrelin::qt
