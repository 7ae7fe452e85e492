#pragma once

#include <memory>
#include <string>

class TaskDelegate;

// One installation step. A step reports its outcome to its delegate exactly once per execute:
// executionFinishedOfTask or taskFinishedWithError. execute and invalidate arrive on the main
// thread, and every report goes to the delegate there (a step may report from inside execute).
// The creator owns the step; a sequence shares ownership of its steps; the delegate is not owned
// and must outlive the step's reports.
class Task : public std::enable_shared_from_this<Task> {
public:
    virtual ~Task() = default;

    virtual void execute() = 0;
    virtual void invalidate() = 0;
    // The step's weight in progress units: bytes for downloads, an estimate for shell steps.
    virtual double totalProgress() = 0;
    // The text shown while the step is current.
    virtual std::string status() = 0;
    // Whether speed and remaining time can be shown for the step.
    virtual bool knownRemainingTime() = 0;

    // The observer is not owned.
    TaskDelegate* taskDelegate() const { return _taskDelegate; }
    void setTaskDelegate(TaskDelegate* delegate) { _taskDelegate = delegate; }

    // A background step runs beside the steps that follow it.
    bool backgroundProcess() const { return _backgroundProcess; }
    void setBackgroundProcess(bool value) { _backgroundProcess = value; }

    // A waiting step starts only once the background step has finished.
    bool waitForBackgroundProcess() const { return _waitForBackgroundProcess; }
    void setWaitForBackgroundProcess(bool value) { _waitForBackgroundProcess = value; }

private:
    TaskDelegate* _taskDelegate = nullptr;
    bool _backgroundProcess = false;
    bool _waitForBackgroundProcess = false;
};

using TaskPtr = std::shared_ptr<Task>;
