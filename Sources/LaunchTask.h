#pragma once

#include "Task.h"
#include "platform/Error.h"
#include "platform/FileHandle.h"
#include "platform/Process.h"
#include "platform/Timer.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// The last step: starts the companion application with the installed game's description and
// follows its standard output (progress, error and quit lines) until it exits.
//
// execute() and the output handler run on the main thread; the preparation and the launch run on
// one global-queue worker, which also sends the statistics action. Every report reaches the
// delegate on the main thread: an error line's report, then exactly one end report (the exit, or
// a failure to prepare or launch). Once the quit line has asked the application to terminate,
// nothing more is reported. Create with std::make_shared.
class LaunchTask : public Task {
public:
    using ActionSender = std::function<void(std::int64_t)>;

    // `applicationName`: the game application's name without ".app".
    explicit LaunchTask(std::string applicationName);

    // Task
    void execute() override;
    // The companion is not stopped.
    void invalidate() override {}
    double totalProgress() override { return _estimated; }
    std::string status() override { return "Launching the app..."; }
    bool knownRemainingTime() override { return false; }

    const std::string& appName() const { return _appName; }
    double estimated() const { return _estimated; }
    void setEstimated(double estimated) { _estimated = estimated; }
    // The companion's shell, once the preparation has made it.
    std::shared_ptr<platform::Process> task() const { return _task; }

    // Handler of the companion output's data notifications.
    void getTaskProggress(platform::FileHandle& handle);

    // Where statistics actions go: the statistics facade unless replaced (tests).
    void setActionSender(ActionSender sender) { _sendAction = std::move(sender); }
    // Tests: the companion program and its working folder (by default the installed companion).
    static void setCompanionLocation(const std::string& program, const std::string& workingDirectory);

private:
    void prepare(const std::shared_ptr<platform::Pipe>& pipe);
    // Ends the step through its one failure report, on the main queue.
    void failPreparation(const platform::Exception& exception);
    // Splits the output into lines, keeping an unfinished one for the next read; 64 KiB without a
    // line end make a line, and at the end of output the unfinished rest is a line too. May be
    // re-entered from a report's modal alert.
    void takeOutput(std::string_view data, bool atEnd);
    // The unfinished line is handled once the companion has been quiet for half a second.
    void awaitQuiet(std::chrono::milliseconds delay);
    void takeUnfinishedLineWhenQuiet();
    // False once the application is terminating: later lines are dropped.
    bool handleLine(std::string_view line);
    void handleTermination(int status);

    std::string _appName;
    double _estimated = 0;
    std::shared_ptr<platform::Process> _task;
    std::shared_ptr<platform::FileHandle> _output;
    std::optional<platform::FileHandle::ObserverToken> _observer;
    std::string _pendingLine;
    std::chrono::steady_clock::time_point _lastOutput;
    std::shared_ptr<platform::Timer> _quietTimer;
    ActionSender _sendAction;
};
