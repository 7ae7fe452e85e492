#include "RemainingTimeMeter.h"

#include "platform/Timer.h"
#include "platform/RunLoop.h"

#include <limits>

namespace {
// The sample while no speed is known: just above the 10000 seconds the window shows as unknown.
constexpr double unknownSample = 10001.0;
constexpr double sampleWeight = 0.45;
constexpr double averageWeight = 0.55;
}  // namespace

RemainingTimeMeter::RemainingTimeMeter(MeterClock clock) : _clock(std::move(clock)) {}

RemainingTimeMeter::~RemainingTimeMeter() { invalidateTimer(); }

void RemainingTimeMeter::start() {
    platform::assertMainThread();
    _startTime = _clock();
    invalidateTimer();
    const auto period = std::chrono::milliseconds(static_cast<std::int64_t>(_updateInterval * 1000));
    _timer = platform::Timer::scheduled(period, true, [this](platform::Timer&) { updateTimer(); });
}

void RemainingTimeMeter::commitDownloadedBytes(std::uint64_t bytes, std::uint64_t bytesPerSecond) {
    platform::assertMainThread();
    _currentTime = _clock();
    _receivedBytes = bytes;
    _bytesPerSecond = bytesPerSecond;
}

void RemainingTimeMeter::updateTimer() {
    if (_currentTime - _startTime < 0.1) {
        return;
    }
    if (!_totalBytes) {
        // No estimate without a total; the average waits for one, so that it shows at once.
        if (_updateCallback) {
            _updateCallback(std::numeric_limits<double>::infinity());
        }
        return;
    }
    const std::uint64_t total = *_totalBytes;
    // Past the total nothing is left: the difference must not wrap into an absurd estimate.
    const std::uint64_t left = _receivedBytes < total ? total - _receivedBytes : 0;
    const double sample =
        _bytesPerSecond != 0 ? static_cast<double>(left) / static_cast<double>(_bytesPerSecond) : unknownSample;
    if (_receivedBytes >= total) {
        invalidateTimer();
    }
    _averageRemainingTime = sample * sampleWeight + _averageRemainingTime * averageWeight;
    if (_updateCallback) {
        _updateCallback(_averageRemainingTime);
    }
}

bool RemainingTimeMeter::isRunning() const { return _timer != nullptr && _timer->isValid(); }

void RemainingTimeMeter::invalidateTimer() {
    if (_timer) {
        _timer->invalidate();
        _timer.reset();
    }
}
