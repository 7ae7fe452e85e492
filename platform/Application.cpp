#include "platform/Application.h"

#include "platform/Dispatch.h"
#include "platform/RunLoop.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QWidget>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

namespace platform {

namespace {
Application::Handler& willTerminate() {
    static Application::Handler handler;
    return handler;
}
std::atomic<bool> terminating{false};

// The hold, main thread only: its notice, and the exit status of the request it keeps.
struct Hold {
    bool active = false;
    Application::Handler onKept;
    std::optional<int> kept;
};
Hold& hold() {
    static Hold value;
    return value;
}

// Written by the signal handler, read on the main thread: the only work a handler may do safely.
int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

void hideWindows() {
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        return;
    }
    for (QWidget* window : QApplication::topLevelWidgets()) {
        window->hide();
    }
}

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}
}  // namespace

void Application::setWillTerminateHandler(Handler handler) {
    willTerminate() = std::move(handler);
}

void Application::terminate(int exitStatus) {
    if (!RunLoop::isMainThread()) {
        dispatch::asyncMain([exitStatus] { terminate(exitStatus); });
        return;
    }
    if (terminating.load()) {
        return;
    }
    if (Hold& held = hold(); held.active) {
        if (!held.kept) {
            held.kept = exitStatus;
            if (held.onKept) {
                held.onKept();
            }
        }
        return;
    }
    terminating = true;
    // The ending may wait (the last statistics, the log): no window stays on screen meanwhile
    // without answering.
    hideWindows();
    if (willTerminate()) {
        willTerminate()();
    }
    // The quit is queued, so it also ends a loop that has not started yet.
    RunLoop::quit(exitStatus);
}

bool Application::isTerminating() {
    return terminating.load();
}

void Application::holdTermination(Handler onKept) {
    assertMainThread();
    hold() = Hold{.active = true, .onKept = std::move(onKept), .kept = std::nullopt};
}

void Application::releaseTermination() {
    assertMainThread();
    const std::optional<int> kept = hold().kept;
    hold() = Hold{};
    if (kept) {
        terminate(*kept);
    }
}

void Application::terminateOnSignals() {
    if (signalPipe[0] >= 0 || ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    // Lives as long as the application; its parent is the application object.
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, [] {
        char bytes[16];
        while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
        }
        terminate(2);
    });
    struct sigaction action = {};
    action.sa_handler = &onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // Ctrl-C and Ctrl-\ end the installer also where a script started it in the background,
    // which ignores them for its jobs.
    for (const int number : {SIGINT, SIGQUIT, SIGTERM}) {
        sigaction(number, &action, nullptr);
    }
    // A hang-up ignored at start stays ignored: started under nohup, the installer is meant to
    // outlive its terminal.
    struct sigaction hangUp = {};
    if (sigaction(SIGHUP, nullptr, &hangUp) != 0 || hangUp.sa_handler != SIG_IGN) {
        sigaction(SIGHUP, &action, nullptr);
    }
}

bool Application::chooseOffscreenWithoutDisplay() {
    if (isSet("DISPLAY") || isSet("WAYLAND_DISPLAY") || isSet("QT_QPA_PLATFORM")) {
        return false;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::fputs("No display found (neither DISPLAY nor WAYLAND_DISPLAY is set): running without a window (offscreen).\n",
               stderr);
    return true;
}

}  // namespace platform
