#include "Platform/QtCore/QtMainLoop.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cmath>

#if defined(__SANITIZE_THREAD__)
#define TAVRELIN_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TAVRELIN_TSAN 1
#endif
#endif
#ifdef TAVRELIN_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace tavrelin::qt {
namespace {

// Qt hands a block to the main thread under a lock of its own, which
// ThreadSanitizer cannot see (Qt is not instrumented). These tell it the same
// order: what the sender did before handOver() happens before what the main
// thread does after takeOver(). The worker pools use our own locks, which it
// sees.
char mainQueue;
#ifdef TAVRELIN_TSAN
void handOver(char& queue) {
    __tsan_release(&queue);
}
void takeOver(char& queue) {
    __tsan_acquire(&queue);
}
#else
void handOver(char&) {}
void takeOver(char&) {}
#endif

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

// A block for the main thread. Qt deletes a posted event on its receiver's
// thread, so the block, and whatever it holds, goes where it ran; the poster
// never touches it again.
class BlockEvent final : public QEvent {
public:
    explicit BlockEvent(std::function<void()> block) : QEvent(type()), block_(std::move(block)) {}
    static QEvent::Type type() {
        static const auto registered = static_cast<QEvent::Type>(QEvent::registerEventType());
        return registered;
    }
    void run() const { block_(); }

private:
    std::function<void()> block_;
};

class Receiver final : public QObject {
public:
    bool event(QEvent* event) override {
        if (event->type() != BlockEvent::type())
            return QObject::event(event);
        takeOver(mainQueue);
        static_cast<const BlockEvent*>(event)->run();
        return true;
    }
};

} // namespace

QtMainLoop::QtMainLoop()
    : receiver_(std::make_unique<Receiver>()), mainThread_(QThread::currentThread()), utility_("tavrelin-utility", 2),
      normal_("tavrelin-work", 4) {}

// The pools end their threads without waiting for a task: whoever quits
// waits for background work first, within its deadline (waitForBackground).
QtMainLoop::~QtMainLoop() = default;

void QtMainLoop::post(std::function<void()> block) {
    // Events posted to one receiver are delivered in the order they were posted.
    auto* event = new BlockEvent(std::move(block));
    handOver(mainQueue);
    QCoreApplication::postEvent(receiver_.get(), event);
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
    (priority == platform::Priority::utility ? utility_ : normal_).start(std::move(block));
}

bool QtMainLoop::waitForBackground(platform::TimeInterval deadline) {
    // One deadline for both pools: the second gets what the first left.
    const auto until = std::chrono::steady_clock::now() + toMilliseconds(deadline);
    const bool normalDone = normal_.waitForDone(until);
    return utility_.waitForDone(until) && normalDone;
}

} // namespace tavrelin::qt
