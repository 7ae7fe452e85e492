#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

namespace Statistics::AsyncTransport {

// A worker thread that calls the target once per interval until stopped. It polls every
// 100 ms against a wall-clock deadline (or for a trigger), and counts each period from the
// end of the previous call, so calls never overlap.
class ActiveTimer {
public:
    ActiveTimer(std::int64_t intervalMs, const std::function<void()>& target);
    ~ActiveTimer();

    ActiveTimer(const ActiveTimer&) = delete;
    ActiveTimer& operator=(const ActiveTimer&) = delete;

    void start();
    // Waits for a call in progress and the current poll to end.
    void stop();
    // Makes the next poll call the target without waiting for the interval. Any thread.
    void trigger();
    bool isRunning() const;

private:
    void run();

    std::function<void()> _target;
    std::thread _thread;
    std::atomic<std::int64_t> _interval;
    std::atomic<bool> _running;
    std::atomic<bool> _triggered{false};
};

} // namespace Statistics::AsyncTransport
