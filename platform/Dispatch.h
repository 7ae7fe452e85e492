#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace platform::dispatch {

using Block = std::function<void()>;

// Runs the block on the main thread, after the blocks posted before it.
void asyncMain(Block block);

// Runs the block on a worker of the global concurrent queue. The queue starts a new worker
// whenever none is idle, so a block that waits for a long time never holds others back. Throws
// std::system_error when no worker is idle and none can be started: the block then never runs.
void asyncGlobal(Block block);

// Runs the block on the main thread once `delay` has passed.
void afterMain(std::chrono::milliseconds delay, Block block);

// A counting semaphore: a signal given before anyone waits is remembered.
class Semaphore {
public:
    explicit Semaphore(long count = 0);
    static std::shared_ptr<Semaphore> create(long count = 0);

    void signal();
    void wait();
    // Returns false when the time ran out before a signal arrived.
    bool waitFor(std::chrono::milliseconds timeout);

private:
    std::mutex _mutex;
    std::condition_variable _signalled;
    long _count;
};

}  // namespace platform::dispatch
