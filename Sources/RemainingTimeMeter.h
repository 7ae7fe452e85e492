#pragma once

#include "MeterClock.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace platform {
class Timer;
}

// A smoothed estimate of the seconds left until `totalBytes` is reached. Silent until start(),
// then ticks every `updateInterval` seconds on the main run loop until a tick finds the total
// reached; while the total is unknown each tick reports an infinite estimate and the ticks go on.
// Main thread only (checked in debug builds); the meter owns its timer and stops it when it goes away.
class RemainingTimeMeter {
public:
    using Callback = std::function<void(double)>;

    explicit RemainingTimeMeter(MeterClock clock = currentSecondsSince1970);
    ~RemainingTimeMeter();
    RemainingTimeMeter(const RemainingTimeMeter&) = delete;
    RemainingTimeMeter& operator=(const RemainingTimeMeter&) = delete;

    // (Re)starts the ticks and the 0.1-second guard; the estimate so far is kept.
    void start();
    void commitDownloadedBytes(std::uint64_t bytes, std::uint64_t bytesPerSecond);
    // One tick (the timer's handler).
    void updateTimer();

    double updateInterval() const { return _updateInterval; }
    void setUpdateInterval(double seconds) { _updateInterval = seconds; }
    // Nothing while the total is unknown.
    std::optional<std::uint64_t> totalBytes() const { return _totalBytes; }
    void setTotalBytes(std::optional<std::uint64_t> bytes) { _totalBytes = bytes; }
    std::uint64_t bytesPerSecond() const { return _bytesPerSecond; }
    void setBytesPerSecond(std::uint64_t speed) { _bytesPerSecond = speed; }
    double averageRemainingTime() const { return _averageRemainingTime; }
    // Kept by copy; a tick without one computes but calls nothing.
    const Callback& updateCallback() const { return _updateCallback; }
    void setUpdateCallback(Callback callback) { _updateCallback = std::move(callback); }

    // True while the timer runs.
    bool isRunning() const;

private:
    void invalidateTimer();

    MeterClock _clock;
    std::shared_ptr<platform::Timer> _timer;
    double _startTime = 0;
    double _currentTime = 0;
    std::uint64_t _receivedBytes = 0;
    double _averageRemainingTime = 0;
    double _updateInterval = 0.5;
    std::optional<std::uint64_t> _totalBytes = 0;
    std::uint64_t _bytesPerSecond = 0;
    Callback _updateCallback;
};
