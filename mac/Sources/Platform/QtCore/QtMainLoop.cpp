#include "Platform/QtCore/QtMainLoop.h"

#include <QDeadlineTimer>
#include <QPointer>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cmath>

namespace tavrelin::qt {
namespace {

std::chrono::milliseconds toMilliseconds(platform::TimeInterval seconds) {
    double ms = seconds * 1000.0;
    if (!(ms > 0)) // also NaN
        return std::chrono::milliseconds(0);
    // QTimer counts in an int of milliseconds; clamp instead of overflowing.
    constexpr double maxMs = 2147483647.0;
    return std::chrono::milliseconds(std::llround(std::min(ms, maxMs)));
}

// The handle of a repeating timer. The alive flag keeps a firing that is
// already queued from running once the handle is gone, whichever thread drops
// it; the QTimer itself is made and deleted on the main thread.
class QtTimer final : public platform::Timer {
public:
    QtTimer(QtMainLoop& loop, std::shared_ptr<std::atomic<bool>> alive, std::shared_ptr<QPointer<QTimer>> slot)
        : loop_(loop), alive_(std::move(alive)), slot_(std::move(slot)) {}
    QtTimer(const QtTimer&) = delete;
    QtTimer& operator=(const QtTimer&) = delete;

    ~QtTimer() override {
        alive_->store(false);
        // Off the main thread the deletion is posted after the creation, so
        // the slot holds the timer by the time it runs.
        loop_.onMain([slot = slot_] { delete slot->data(); });
    }

private:
    QtMainLoop& loop_;
    std::shared_ptr<std::atomic<bool>> alive_;
    std::shared_ptr<QPointer<QTimer>> slot_;
};

} // namespace

QtMainLoop::QtMainLoop() : receiver_(std::make_unique<QObject>()), mainThread_(QThread::currentThread()) {
    normal_.setMaxThreadCount(4);
    utility_.setMaxThreadCount(2);
    // An idle worker waits for work, not for a time-out: by default it would
    // end after 30 s, just before the next poll makes a new one.
    normal_.setExpiryTimeout(-1);
    utility_.setExpiryTimeout(-1);
    utility_.setThreadPriority(QThread::LowPriority);
}

QtMainLoop::~QtMainLoop() {
    normal_.waitForDone();
    utility_.waitForDone();
}

void QtMainLoop::post(std::function<void()> block) {
    // Queued calls to one receiver are delivered in the order they were made.
    QMetaObject::invokeMethod(
        receiver_.get(), [block = std::move(block)] { block(); }, Qt::QueuedConnection);
}

bool QtMainLoop::isMainThread() const {
    return QThread::currentThread() == mainThread_;
}

std::unique_ptr<platform::Timer> QtMainLoop::repeating(platform::TimeInterval period, std::function<void()> block) {
    auto alive = std::make_shared<std::atomic<bool>>(true);
    auto slot = std::make_shared<QPointer<QTimer>>();
    auto start = [parent = receiver_.get(), ms = toMilliseconds(period), alive, slot, block = std::move(block)]() mutable {
        if (!alive->load())
            return; // dropped before the main thread got to it
        auto* timer = new QTimer(parent);
        timer->setTimerType(Qt::PreciseTimer);
        timer->setInterval(ms);
        QObject::connect(timer, &QTimer::timeout, parent, [alive, block = std::move(block)] {
            if (alive->load())
                block();
        });
        timer->start();
        *slot = timer;
    };
    onMain(std::move(start)); // a QTimer is started on the thread it lives on
    return std::make_unique<QtTimer>(*this, std::move(alive), std::move(slot));
}

void QtMainLoop::after(platform::TimeInterval delay, std::function<void()> block) {
    onMain([parent = receiver_.get(), ms = toMilliseconds(delay), block = std::move(block)]() mutable {
        QTimer::singleShot(ms, Qt::PreciseTimer, parent, std::move(block));
    });
}

void QtMainLoop::background(platform::Priority priority, std::function<void()> block) {
    QThreadPool& pool = priority == platform::Priority::utility ? utility_ : normal_;
    pool.start(std::move(block));
}

bool QtMainLoop::waitForBackground(platform::TimeInterval deadline) {
    // One deadline for both pools: the second gets what the first left.
    const QDeadlineTimer until(toMilliseconds(deadline));
    const bool normalDone = normal_.waitForDone(static_cast<int>(until.remainingTime()));
    return utility_.waitForDone(static_cast<int>(until.remainingTime())) && normalDone;
}

} // namespace tavrelin::qt
