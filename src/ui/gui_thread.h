// Calls from the conversion worker into a window, run on the window's thread.
//
// Order: calls posted from one thread run in the order they were made, and a
// call made on the window's own thread first runs every call still queued, so
// the window sees one sequence. Lifetime: shutdown() (or destruction) drops
// what is still queued, without running it; a blocking call whose work was
// dropped returns its fallback instead of waiting for ever.
#ifndef TALLORY_UI_GUI_THREAD_H
#define TALLORY_UI_GUI_THREAD_H

#include <QCoreApplication>
#include <QObject>
#include <QThread>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>

namespace tallory::ui {

class GuiThread {
public:
    GuiThread() : anchor_(std::make_unique<QObject>()) {}
    ~GuiThread() { shutdown(); }
    GuiThread(const GuiThread&) = delete;
    GuiThread& operator=(const GuiThread&) = delete;

    // Must run on the owning thread; afterwards every call is dropped.
    void shutdown() {
        std::unique_ptr<QObject> gone;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            gone = std::move(anchor_);
            queued_ = 0;
        }
        drained_.notify_all();
        // Deleting the anchor discards its queued calls (and wakes blocked callers).
    }

    bool onOwnThread() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return anchor_ == nullptr || QThread::currentThread() == anchor_->thread();
    }

    // Runs f on the owning thread: at once there, queued from elsewhere.
    template <class F>
    void post(F f) {
        if (onOwnThread()) {
            flush();
            if (alive()) f();
            return;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        if (anchor_ == nullptr) return;
        QMetaObject::invokeMethod(anchor_.get(), [this, f = std::move(f)]() mutable {
            handOff();
            f();
        }, Qt::QueuedConnection);
        // A worker faster than the window waits until the window has caught up,
        // so the queue stays bounded and the window's thread is never swamped.
        if (++queued_ > kMaxQueued) {
            drained_.wait(lock, [this] { return anchor_ == nullptr || queued_ <= kMaxQueued / 2; });
        }
    }

    // Runs f on the owning thread and waits for its result; `fallback` when
    // the window went away before f could run.
    template <class R, class F>
    R call(F f, R fallback) {
        if (onOwnThread()) {
            flush();
            return alive() ? f() : fallback;
        }
        auto pending = std::make_shared<Pending>();
        auto result = std::make_shared<R>(fallback);
        {
            // The notifier lives only in the queued call: when the call has run,
            // or was dropped unrun, its end wakes the waiting worker.
            auto notifier = std::make_shared<Notifier>(pending);
            std::lock_guard<std::mutex> lock(mutex_);
            if (anchor_ == nullptr) return fallback;
            ++queued_;
            QMetaObject::invokeMethod(
                anchor_.get(),
                [this, notifier, f = std::move(f), result]() mutable {
                    handOff();
                    *result = f();
                },
                Qt::QueuedConnection);
        }
        std::unique_lock<std::mutex> lock(pending->mutex);
        pending->done.wait(lock, [&] { return pending->finished; });
        return *result;
    }

    // Runs every call queued so far (owning thread only).
    void flush() {
        QObject* anchor = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            anchor = anchor_.get();
        }
        if (anchor != nullptr && QCoreApplication::instance() != nullptr) {
            QCoreApplication::sendPostedEvents(anchor, QEvent::MetaCall);
        }
    }

private:
    struct Pending {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
    };
    struct Notifier {
        explicit Notifier(std::shared_ptr<Pending> p) : pending(std::move(p)) {}
        ~Notifier() {
            std::lock_guard<std::mutex> lock(pending->mutex);
            pending->finished = true;
            pending->done.notify_all();
        }
        std::shared_ptr<Pending> pending;
    };

    // The poster held the lock while it made the call; taking it here makes
    // what the poster wrote visible to this thread in a way thread checkers
    // see, not only through Qt's own event queue.
    void handOff() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queued_ > 0) --queued_;
        if (queued_ <= kMaxQueued / 2) drained_.notify_all();
    }

    bool alive() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return anchor_ != nullptr;
    }

    // Calls queued and not yet run, at most this many before a poster waits.
    static constexpr int kMaxQueued = 2000;

    mutable std::mutex mutex_;
    std::condition_variable drained_;
    int queued_ = 0;
    std::unique_ptr<QObject> anchor_;
};

}  // namespace tallory::ui

#endif
