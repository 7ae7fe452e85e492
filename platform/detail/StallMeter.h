#pragma once

namespace platform::detail {

// A debug meter of the main thread's answering, asked for with RAVELUNE_STALL_METER=1 in the
// environment (otherwise every call does nothing and nothing is measured). A 10 ms timer on the
// main loop notes the longest time between two of its ticks, that is the longest stretch the
// loop went without a turn, from start() until the application starts ending; an event filter
// notes when the first widget was painted. Main thread only; report() writes one line on
// standard error.
class StallMeter {
public:
    // Called by RunLoop::initialize once the application object exists.
    static void start();
    // Called when the application starts ending: what follows is the ending, not a stall.
    static void noteEnding();
    // Called when the run loop has returned.
    static void report();
};

}  // namespace platform::detail
