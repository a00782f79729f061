#include "Platform/QtCore/QtApplication.h"

#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace tavrelin::qt {
namespace {

// The self-pipe that turns a signal into an event on the main thread.
int signalPipe[2] = {-1, -1};

// Runs on whichever thread the signal interrupts, maybe between a failing
// call and its reading of errno.
void onSignal(int) {
    const int saved = errno;
    char byte = 1;
    [[maybe_unused]] auto written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

[[noreturn]] void failSignals(const std::string& what) {
    throw SignalError("cannot handle signals: " + what + ": " + std::strerror(errno));
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

void QtApplication::reopen() {
    if (delegate_ && running_ && !terminated_)
        delegate_->applicationShouldHandleReopen();
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
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (::sigaction(SIGPIPE, &ignore, nullptr) != 0)
        failSignals("SIGPIPE");
    if (signalNotifier_)
        return;
    if (signalPipe[0] < 0) {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0)
            failSignals("no socket pair");
        signalPipe[0] = ends[0];
        signalPipe[1] = ends[1];
        // A handler must never block: a full pipe already says "terminate".
        // The main thread reads all there is at once.
        for (int end : ends)
            if (::fcntl(end, F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(end, F_SETFL, O_NONBLOCK) != 0)
                failSignals("the socket pair cannot be set up");
    }
    signalNotifier_ = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(signalNotifier_.get(), &QSocketNotifier::activated, signalNotifier_.get(), [this] {
        char bytes[256];
        while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        terminate();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const auto& [number, name] : {std::pair{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}})
        if (::sigaction(number, &action, nullptr) != 0)
            failSignals(name);
}

} // namespace tavrelin::qt
