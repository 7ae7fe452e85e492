#pragma once

#include "MeterClock.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace platform {
class Timer;
}

// A byte rate sampled by a repeating timer on the main run loop: each tick measures from the
// last commit seen at the previous tick to the latest commit and hands the rate (bytes per
// second) to the callback. Main thread only (checked in debug builds); the meter owns its timer and stops it when it
// goes away. Speedometer and UpdateBandwidth are its two uses.
class RateMeter {
public:
    using Callback = std::function<void(std::uint64_t)>;

    RateMeter(const RateMeter&) = delete;
    RateMeter& operator=(const RateMeter&) = delete;
    virtual ~RateMeter();

    double updateInterval() const { return _updateInterval; }
    // Stores the period and replaces the timer with a new repeating one of that period.
    void setUpdateInterval(double seconds);

    void commitDownloadedBytes(std::uint64_t bytes);

    // Kept by copy; a tick without one measures but calls nothing.
    const Callback& updateCallback() const { return _updateCallback; }
    void setUpdateCallback(Callback callback) { _updateCallback = std::move(callback); }

    // One tick (the timer's handler).
    void updateTimer();

    // True while the timer runs.
    bool isRunning() const;

protected:
    // `minimumSpan`: the shortest time between the two commits that gives a rate, else 0.
    // `stopOnRate`: the first non-zero rate ends the ticks.
    RateMeter(double minimumSpan, bool stopOnRate, MeterClock clock);

private:
    void invalidateTimer();

    const double _minimumSpan;
    const bool _stopOnRate;
    MeterClock _clock;
    std::shared_ptr<platform::Timer> _timer;
    double _startTime = 0;
    double _lastTime = 0;
    std::uint64_t _startBytes = 0;
    std::uint64_t _lastBytes = 0;
    double _updateInterval = 0;
    Callback _updateCallback;
};
