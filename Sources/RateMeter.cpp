#include "RateMeter.h"

#include "platform/Timer.h"
#include "platform/RunLoop.h"

RateMeter::RateMeter(double minimumSpan, bool stopOnRate, MeterClock clock)
    : _minimumSpan(minimumSpan), _stopOnRate(stopOnRate), _clock(std::move(clock)) {}

RateMeter::~RateMeter() { invalidateTimer(); }

void RateMeter::setUpdateInterval(double seconds) {
    platform::assertMainThread();
    _updateInterval = seconds;
    invalidateTimer();
    const auto period = std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000));
    _timer = platform::Timer::scheduled(period, true, [this](platform::Timer&) { updateTimer(); });
}

void RateMeter::commitDownloadedBytes(std::uint64_t bytes) {
    platform::assertMainThread();
    _lastTime = _clock();
    _lastBytes = bytes;
}

void RateMeter::updateTimer() {
    const double span = _lastTime - _startTime;
    // A count that went down (the pipeline's amount is not always monotonic) measures nothing
    // this tick instead of wrapping into an absurd rate.
    std::uint64_t rate = 0;
    if (span > _minimumSpan && _lastBytes >= _startBytes) {
        rate = static_cast<std::uint64_t>(static_cast<double>(_lastBytes - _startBytes) / span);
    }
    if (_updateCallback) {
        _updateCallback(rate);
    }
    if (_stopOnRate && rate != 0) {
        invalidateTimer();
    }
    _startTime = _lastTime;
    _startBytes = _lastBytes;
}

bool RateMeter::isRunning() const { return _timer != nullptr && _timer->isValid(); }

void RateMeter::invalidateTimer() {
    if (_timer) {
        _timer->invalidate();
        _timer.reset();
    }
}
