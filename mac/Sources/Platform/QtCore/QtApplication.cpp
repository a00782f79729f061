#include "Platform/QtCore/QtApplication.h"

#include <QTimer>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tavrelin::qt {
namespace {

// The self-pipe that turns a signal into an event on the main thread.
int signalPipe[2] = {-1, -1};

void onSignal(int) {
    char byte = 1;
    [[maybe_unused]] auto written = ::write(signalPipe[1], &byte, 1);
}

} // namespace

QtApplication::QtApplication(QCoreApplication& app, std::function<void()> activate)
    : app_(app), activate_(std::move(activate)) {
    // The tray shows the product's name, not the program's: it is the title
    // of a StatusNotifier item.
    QCoreApplication::setApplicationName(QStringLiteral("Tavrelin"));
}

QtApplication::~QtApplication() {
    if (signalNotifier_) {
        signalNotifier_.reset();
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        std::signal(SIGHUP, SIG_DFL);
    }
}

int QtApplication::run(platform::ApplicationDelegate& delegate) {
    if (terminated_)
        return 0;
    delegate_ = &delegate;
    delegate.applicationWillFinishLaunching();
    if (terminated_) {
        delegate_ = nullptr;
        return 0;
    }
    // From the event loop, in this order: the URLs that came with the launch,
    // then the end of launch.
    for (const std::string& url : held_)
        deliver(url);
    held_.clear();
    QTimer::singleShot(0, &app_, [this] {
        if (!terminated_)
            delegate_->applicationDidFinishLaunching();
    });
    running_ = true;
    int status = app_.exec();
    running_ = false;
    // Ended some other way (a session logging out): the step still runs once.
    if (!terminated_) {
        terminated_ = true;
        if (onTerminate)
            onTerminate();
        delegate_->applicationWillTerminate();
    }
    delegate_ = nullptr;
    return status;
}

void QtApplication::terminate() {
    if (terminated_)
        return;
    terminated_ = true;
    if (onTerminate)
        onTerminate();
    if (delegate_)
        delegate_->applicationWillTerminate();
    // Ends every running loop, also a dialog's nested one.
    if (running_)
        QCoreApplication::exit(0);
}

void QtApplication::activate() {
    if (activate_)
        activate_();
}

void QtApplication::openURL(const std::string& url) {
    if (delegate_ && !terminated_)
        deliver(url);
    else if (!terminated_)
        held_.push_back(url);
}

void QtApplication::deliver(const std::string& url) {
    QTimer::singleShot(0, &app_, [this, url] {
        if (delegate_ && !terminated_)
            delegate_->handleGetURL(url);
    });
}

void QtApplication::terminateOnSignals() {
    std::signal(SIGPIPE, SIG_IGN);
    if (signalNotifier_)
        return;
    if (signalPipe[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    ::fcntl(signalPipe[1], F_SETFL, O_NONBLOCK);
    signalNotifier_ = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(signalNotifier_.get(), &QSocketNotifier::activated, signalNotifier_.get(), [this] {
        char bytes[16];
        [[maybe_unused]] auto count = ::read(signalPipe[0], bytes, sizeof bytes);
        terminate();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

} // namespace tavrelin::qt
