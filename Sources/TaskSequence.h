#pragma once

#include "Task.h"
#include "TaskDelegate.h"
#include "platform/Dispatch.h"

#include <memory>
#include <string>
#include <vector>

// A step made of steps: runs them one after another, lets one background step run beside the
// steps that follow it, holds a waiting step back until the background step has finished, and
// turns the steps' progress reports into one running amount for the whole sequence.
//
// Create it with std::make_shared: a step waiting for the background step keeps the sequence alive.
// addTask, execute and invalidate belong to the main thread (checked in debug builds). The
// sequence owns its steps and is the delegate of the current one; its fields are not locked, as
// every report reaches it on the main thread. A worker only waits for the background step; the
// waiting step is then started on the main thread. It reports to its observer on the main thread
// only, and its own completion once per execute.
class TaskSequence : public Task, public TaskDelegate {
public:
    TaskSequence() = default;

    // Appends a step; its delegate is set when it becomes current.
    void addTask(TaskPtr task);
    bool isFinished() const { return finished; }
    const std::vector<TaskPtr>& allTasks() const { return tasks; }

    // Task
    void execute() override;
    void invalidate() override;
    double totalProgress() override { return _totalProgress; }
    std::string status() override;
    bool knownRemainingTime() override { return true; }

    // Sums the weights of the foreground steps; background steps never count.
    void recalculateTotalProgress();
    // Deletes the installation scripts' marker file "installer.wait", when present.
    void terminateRootTask();

    // TaskDelegate
    void taskDidStartWithStatus(Task* task, const std::string& status) override;
    double taskDidUpdateProgress(Task* task, double progress) override;
    void taskDidUpdateProgressLabelWithValue(Task* task, const std::string& label, const std::string& value) override;
    void taskFinishedWithError(Task* task, const platform::Error& error) override;
    void executionFinishedOfTask(Task* task) override;

protected:
    std::vector<TaskPtr> tasks;
    TaskPtr currentTask;
    TaskPtr backgroundTask;
    bool finished = false;
    bool backgroundTaskFinished = false;
    std::shared_ptr<platform::dispatch::Semaphore> semaphore;
    double _totalProgress = 0;

private:
    // Position of the first occurrence of the step, or -1.
    std::ptrdiff_t indexOf(const Task* task) const;
    // The element after the given position, or null when it is the last one.
    TaskPtr elementAfter(std::ptrdiff_t index) const;
    void makeCurrent(const TaskPtr& task);
    void startWhenBackgroundTaskFinished();
    void complete();
};
