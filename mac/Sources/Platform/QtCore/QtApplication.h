#pragma once

#include "Platform/Application.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavrelin::qt {

// Signal handling could not be set up; what() says which part.
class SignalError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The application on a QCoreApplication: Qt's core only, so the headless
// front end needs no widgets. The desktop brings its windows to the front
// through `activate`. Main thread only, except where noted.
class QtApplication final : public platform::Application {
public:
    explicit QtApplication(QCoreApplication& app, std::function<void()> activate = {});
    ~QtApplication() override;
    QtApplication(const QtApplication&) = delete;
    QtApplication& operator=(const QtApplication&) = delete;

    // Nothing to switch on Linux: a tray application has no dock or task-bar
    // entry unless it shows a window, and Qt gives it no main menu.
    void setAccessory() override {}
    int run(platform::ApplicationDelegate& delegate) override;
    void terminate() override;
    void activate() override;

    // A request to open a URL, as the system would deliver it: held until the
    // delegate's will-finish step has run, then handed over from the event loop.
    void openURL(const std::string& url);
    // Another start of the agent, with nothing to hand over: passed to the
    // delegate once launch has begun, as the system would deliver it.
    void reopen();

    // SIGINT, SIGTERM and SIGHUP terminate as the menu's Quit does, so the
    // will-terminate step runs. Also ignores SIGPIPE: a closed pipe on
    // standard output must not kill the agent. Throws SignalError when any
    // of it cannot be set up: an agent that a signal would end without its
    // will-terminate step must not start.
    void terminateOnSignals();

    bool isTerminating() const override { return terminated_; }

    // Runs once, first, when termination starts, before the delegate's step.
    std::function<void()> onTerminate;

private:
    void deliver(const std::string& url);

    QCoreApplication& app_;
    std::function<void()> activate_;
    platform::ApplicationDelegate* delegate_ = nullptr;
    bool running_ = false; // inside exec()
    bool terminated_ = false;
    std::vector<std::string> held_;
    std::unique_ptr<QSocketNotifier> signalNotifier_;
};

} // namespace tavrelin::qt
