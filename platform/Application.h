#pragma once

#include <functional>

namespace platform {

// The application's one ending. terminate() hides every window, runs the will-terminate handler
// exactly once on the main thread and then ends the run loop with the given exit status; a call before the loop runs
// makes RunLoop::run() return at once. Later calls, from any thread, do nothing. Work that must
// not be cut short holds the ending: meanwhile the first request is kept and carried out when
// the hold is released.
class Application {
public:
    using Handler = std::function<void()>;

    // Set once during start-up, on the main thread.
    static void setWillTerminateHandler(Handler handler);
    // Safe from any thread: off the main thread the request is posted to the main queue.
    static void terminate(int exitStatus = 2);
    // True from the first terminate() on the main thread; later events of a step are dropped.
    static bool isTerminating();

    // Main thread. Until releaseTermination(), terminate() keeps its first request instead of
    // ending, and `onKept` runs for that request, once; later requests change nothing.
    static void holdTermination(Handler onKept);
    // Main thread. Ends the hold; a kept request is carried out now.
    static void releaseTermination();

    // From now on SIGINT, SIGQUIT, SIGHUP and SIGTERM end the application through terminate(2):
    // a terminal's Ctrl-C, Ctrl-\ and hang-up are a request to end, as a window's close is. A
    // hang-up ignored at start stays ignored (nohup). Call once, on the main thread, after
    // RunLoop::initialize.
    static void terminateOnSignals();

    // Call before a window application is created. With no display (neither DISPLAY nor
    // WAYLAND_DISPLAY) and no platform chosen (QT_QPA_PLATFORM), chooses the offscreen platform
    // and says so in one line on standard error, since a window system would abort otherwise.
    // Returns whether it chose it.
    static bool chooseOffscreenWithoutDisplay();
};

}  // namespace platform
