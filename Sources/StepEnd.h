#pragma once

#include "Task.h"
#include "TaskDelegate.h"
#include "platform/Application.h"
#include "platform/Error.h"

#include <optional>

// Sends a step's end report (an error, or its completion) to its delegate, on the calling
// thread. Once the application is terminating, nothing more reaches the window.
inline void reportStepEnd(Task* task, const std::optional<platform::Error>& error) {
    TaskDelegate* delegate = task->taskDelegate();
    if (delegate == nullptr || platform::Application::isTerminating()) {
        return;
    }
    if (error) {
        delegate->taskFinishedWithError(task, *error);
    } else {
        delegate->executionFinishedOfTask(task);
    }
}
