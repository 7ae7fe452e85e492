#pragma once

#include <chrono>
#include <functional>

namespace platform {

// The process's one run loop, on the main thread. Main-queue blocks, timers, process
// terminations and file-handle notifications are all delivered by it. With RAVELUNE_STALL_METER=1
// in the environment it also measures the longest stretch without a turn until the application
// starts ending, and when the first window was painted; run() then writes the figures on standard
// error ("Main loop: longest stall ...") when it returns.
class RunLoop {
public:
    enum class Kind { Console, Windows };

    // Creates the application object on the calling thread, which becomes the main thread.
    // Does nothing when it exists already.
    static void initialize(int& argc, char** argv, Kind kind = Kind::Console);
    static bool isInitialized();
    static bool isMainThread();

    // Runs the loop until quit(); returns the code given to quit().
    static int run();
    static void quit(int code = 0);

    // Runs the loop until `done` holds or `timeout` has passed; returns the last value of `done`.
    static bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    // Runs the loop for the given time.
    static void runFor(std::chrono::milliseconds duration);
};

// Stops a debug build when a function that belongs to the main thread is called on another
// one, once the run loop exists; release builds check nothing.
void assertMainThread();

}  // namespace platform
