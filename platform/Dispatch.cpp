#include "platform/Dispatch.h"

#include "platform/Thread.h"
#include "platform/detail/MainQueueReceiver.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTimer>

#include <cstdio>
#include <deque>

namespace platform::dispatch {

namespace {

// Worker pool of the global queue. Idle workers wait for blocks; when a block arrives and no
// worker is idle, a new worker starts. Workers that stay idle for a while end.
class GlobalQueue {
public:
    static GlobalQueue& shared() {
        // Never destroyed: detached workers may still be waiting while static objects go away.
        static auto* queue = new GlobalQueue;
        return *queue;
    }

    void async(Block block) {
        std::lock_guard lock(_mutex);
        // The worker starts before the block is queued: when none can be started, nothing is
        // queued that no worker might ever run, and the caller learns it from the exception.
        if (_idleWorkers <= _blocks.size()) {
            startDetachedThread([this] { workerLoop(); });
        }
        _blocks.push_back(std::move(block));
        _workAvailable.notify_one();
    }

private:
    static constexpr auto idleLifetime = std::chrono::seconds(10);

    void workerLoop() {
        std::unique_lock lock(_mutex);
        for (;;) {
            if (_blocks.empty()) {
                ++_idleWorkers;
                const bool gotWork = _workAvailable.wait_for(lock, idleLifetime, [this] { return !_blocks.empty(); });
                --_idleWorkers;
                if (!gotWork) {
                    return;
                }
            }
            Block block = std::move(_blocks.front());
            _blocks.pop_front();
            lock.unlock();
            block();
            block = nullptr;  // release captures outside the lock
            lock.lock();
        }
    }

    std::mutex _mutex;
    std::condition_variable _workAvailable;
    std::deque<Block> _blocks;
    std::size_t _idleWorkers = 0;
};

// The main queue's blocks wait here, in order; each event posted to the main thread runs the
// oldest. Handing the blocks over under a mutex of our own (rather than inside the event) also
// lets thread checkers see that what a block captured was written before it runs.
class MainQueue {
public:
    static MainQueue& shared() {
        static auto* queue = new MainQueue;  // never destroyed: workers may post while the process exits
        return *queue;
    }

    void post(Block block) {
        {
            std::lock_guard lock(_mutex);
            _blocks.push_back(std::move(block));
        }
        QMetaObject::invokeMethod(detail::MainQueueReceiver::instance(), [this] { runOldest(); }, Qt::QueuedConnection);
    }

private:
    void runOldest() {
        Block block;
        {
            std::lock_guard lock(_mutex);
            if (_blocks.empty()) {
                return;
            }
            block = std::move(_blocks.front());
            _blocks.pop_front();
        }
        block();
    }

    std::mutex _mutex;
    std::deque<Block> _blocks;
};

}  // namespace

void asyncMain(Block block) {
    if (QCoreApplication::instance() == nullptr) {
        std::fprintf(stderr, "platform: main-queue block posted before the run loop exists; dropped\n");
        return;
    }
    MainQueue::shared().post(std::move(block));
}

void asyncGlobal(Block block) {
    GlobalQueue::shared().async(std::move(block));
}

void afterMain(std::chrono::milliseconds delay, Block block) {
    asyncMain([delay, block = std::move(block)]() mutable {
        QTimer::singleShot(delay, detail::MainQueueReceiver::instance(), std::move(block));
    });
}

Semaphore::Semaphore(long count) : _count(count) {}

std::shared_ptr<Semaphore> Semaphore::create(long count) {
    return std::make_shared<Semaphore>(count);
}

void Semaphore::signal() {
    {
        std::lock_guard lock(_mutex);
        ++_count;
    }
    _signalled.notify_one();
}

void Semaphore::wait() {
    std::unique_lock lock(_mutex);
    _signalled.wait(lock, [this] { return _count > 0; });
    --_count;
}

bool Semaphore::waitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(_mutex);
    if (!_signalled.wait_for(lock, timeout, [this] { return _count > 0; })) {
        return false;
    }
    --_count;
    return true;
}

}  // namespace platform::dispatch
