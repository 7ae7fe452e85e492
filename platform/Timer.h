#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

namespace platform {

// A timer on the main run loop. Like the platform's scheduled timers it keeps itself alive
// while scheduled: the caller may drop its reference, and invalidate() stops it for good.
class Timer : public std::enable_shared_from_this<Timer> {
public:
    using Handler = std::function<void(Timer&)>;

    // Schedules the timer; may be called from any thread. The handler runs on the main thread.
    static std::shared_ptr<Timer> scheduled(std::chrono::milliseconds interval, bool repeats, Handler handler);

    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    // Stops the timer. Safe from any thread and more than once.
    void invalidate();
    bool isValid() const { return _valid; }
    std::chrono::milliseconds interval() const { return _interval; }

private:
    struct Impl;
    Timer(std::chrono::milliseconds interval, bool repeats, Handler handler);
    void startOnMainThread();
    void fire();

    std::chrono::milliseconds _interval;
    bool _repeats;
    Handler _handler;
    std::atomic<bool> _valid{true};
    std::unique_ptr<Impl> _impl;
    std::shared_ptr<Timer> _selfWhileScheduled;
};

}  // namespace platform
