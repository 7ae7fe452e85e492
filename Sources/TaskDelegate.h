#pragma once

#include "platform/Error.h"

#include <string>

class Task;

// The observer of a step, not owned by it. Reports arrive on the main thread only. A step sends
// exactly one of taskFinishedWithError and executionFinishedOfTask per execute.
class TaskDelegate {
public:
    virtual ~TaskDelegate() = default;

    // A step became current; `status` is the text to show.
    virtual void taskDidStartWithStatus(Task* task, const std::string& status) = 0;
    // An amount of progress in the step's units; returns the accumulated amount the receiver computed.
    virtual double taskDidUpdateProgress(Task* task, double progress) = 0;
    // A label and a value text for the window.
    virtual void taskDidUpdateProgressLabelWithValue(Task* task, const std::string& label, const std::string& value) = 0;
    virtual void taskFinishedWithError(Task* task, const platform::Error& error) = 0;
    virtual void executionFinishedOfTask(Task* task) = 0;
};
