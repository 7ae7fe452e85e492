#pragma once

#include "MainTask.h"

#include <memory>

// The application's delegate: owns the one installation and cleans up when the application
// ends. Main thread only; the application object calls applicationWillTerminate exactly once.
class AppDelegate {
public:
    static AppDelegate& shared();

    // Created on first request and kept.
    std::shared_ptr<MainTask> mainTask();
    void setMainTask(std::shared_ptr<MainTask> task) { _mainTask = std::move(task); }

    void applicationDidFinishLaunching() {}
    // Logs the ending, removes "installer.wait" when this run's installation holds the lock, and
    // posts the statistics still queued, with those of the statistics calls still under way
    // (3 seconds at most).
    void applicationWillTerminate();

private:
    AppDelegate() = default;
    std::shared_ptr<MainTask> _mainTask;
};
