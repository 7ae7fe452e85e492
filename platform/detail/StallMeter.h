#pragma once

namespace platform::detail {

// A debug meter of the main thread's answering, asked for with RAVELUNE_STALL_METER=1 in the
// environment (otherwise every call does nothing and nothing is measured). A 10 ms timer on the
// main loop notes the longest time between two of its ticks, that is the longest stretch the
// loop went without a turn, from start() for as long as a window is shown, its ending included:
// until the last shown window is hidden (or the loop returns). An event filter notes when the
// first widget was painted and when the last window went. Main thread only; report() writes one
// line on standard error.
class StallMeter {
public:
    // Called by RunLoop::initialize once the application object exists.
    static void start();
    // Called when no window is shown any more: what follows is no stall anyone sees.
    static void noteEnding();
    // Called when the run loop has returned.
    static void report();
};

}  // namespace platform::detail
