#pragma once

#include <functional>

namespace platform {

// The application's one ending. terminate() runs the will-terminate handler exactly once on the
// main thread and then ends the run loop with the given exit status; a call before the loop runs
// makes RunLoop::run() return at once. Later calls, from any thread, do nothing.
class Application {
public:
    using Handler = std::function<void()>;

    // Set once during start-up, on the main thread.
    static void setWillTerminateHandler(Handler handler);
    // Safe from any thread: off the main thread the request is posted to the main queue.
    static void terminate(int exitStatus = 2);
    // True from the first terminate() on the main thread; later events of a step are dropped.
    static bool isTerminating();
};

}  // namespace platform
