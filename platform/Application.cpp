#include "platform/Application.h"

#include "platform/Dispatch.h"
#include "platform/RunLoop.h"

#include <atomic>

namespace platform {

namespace {
Application::Handler& willTerminate() {
    static Application::Handler handler;
    return handler;
}
std::atomic<bool> terminating{false};
}  // namespace

void Application::setWillTerminateHandler(Handler handler) {
    willTerminate() = std::move(handler);
}

void Application::terminate(int exitStatus) {
    if (!RunLoop::isMainThread()) {
        dispatch::asyncMain([exitStatus] { terminate(exitStatus); });
        return;
    }
    if (terminating.exchange(true)) {
        return;
    }
    if (willTerminate()) {
        willTerminate()();
    }
    // The quit is queued, so it also ends a loop that has not started yet.
    RunLoop::quit(exitStatus);
}

bool Application::isTerminating() {
    return terminating.load();
}

}  // namespace platform
