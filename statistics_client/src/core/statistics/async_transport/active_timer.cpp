#include "core/statistics/async_transport/active_timer.h"

#include <chrono>
#include <stdexcept>

namespace Statistics::AsyncTransport {

namespace {
constexpr auto pollPeriod = std::chrono::milliseconds(100);
}

ActiveTimer::ActiveTimer(std::int64_t intervalMs, const std::function<void()>& target)
    : _target(target)
    , _interval(intervalMs)
    , _running(false)
{
    if (!_target)
        throw std::runtime_error("Create ActiveTimer with not callable function target");
}

ActiveTimer::~ActiveTimer()
{
    stop();
}

void ActiveTimer::start()
{
    if (_running)
        return;
    _running = true;
    try {
        _thread = std::thread(&ActiveTimer::run, this);
    } catch (...) {
        _running = false;
        throw;
    }
}

void ActiveTimer::stop()
{
    if (!_running)
        return;
    _running = false;
    _thread.join();
}

void ActiveTimer::trigger()
{
    _triggered = true;
}

bool ActiveTimer::isRunning() const
{
    return _running;
}

void ActiveTimer::run()
{
    using Clock = std::chrono::system_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(_interval.load());
    while (_running) {
        const bool triggered = _triggered.exchange(false);
        if (triggered || deadline < Clock::now()) {
            _target();
            deadline = Clock::now() + std::chrono::milliseconds(_interval.load());
        }
        std::this_thread::sleep_for(pollPeriod);
    }
}

} // namespace Statistics::AsyncTransport
