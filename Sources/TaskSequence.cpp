#include "TaskSequence.h"

#include "Logger/Logger.h"
#include "platform/Paths.h"
#include "platform/RunLoop.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

void TaskSequence::addTask(TaskPtr task) {
    platform::assertMainThread();
    tasks.push_back(std::move(task));
    recalculateTotalProgress();
}

void TaskSequence::recalculateTotalProgress() {
    _totalProgress = 0;
    for (const auto& task : tasks) {
        if (!task->backgroundProcess()) {
            _totalProgress += task->totalProgress();
        }
    }
}

std::string TaskSequence::status() {
    return currentTask ? currentTask->status() : std::string();
}

void TaskSequence::invalidate() {
    platform::assertMainThread();
    if (currentTask) {
        currentTask->invalidate();
    }
}

std::ptrdiff_t TaskSequence::indexOf(const Task* task) const {
    const auto found = std::find_if(tasks.begin(), tasks.end(), [task](const TaskPtr& t) { return t.get() == task; });
    return found == tasks.end() ? -1 : found - tasks.begin();
}

TaskPtr TaskSequence::elementAfter(std::ptrdiff_t index) const {
    if (index < 0 || static_cast<std::size_t>(index) + 1 >= tasks.size()) {
        return nullptr;
    }
    return tasks[static_cast<std::size_t>(index) + 1];
}

void TaskSequence::makeCurrent(const TaskPtr& task) {
    currentTask = task;
    if (task) {
        task->setTaskDelegate(this);
    }
}

void TaskSequence::execute() {
    platform::assertMainThread();
    recalculateTotalProgress();
    semaphore = platform::dispatch::Semaphore::create(0);
    makeCurrent(tasks.empty() ? nullptr : tasks.front());
    backgroundTaskFinished = false;

    if (currentTask) {
        currentTask->execute();  // may finish, and advance the sequence, before returning
    }

    // The step current now may differ from the first one when that one finished at once.
    if (currentTask && currentTask->backgroundProcess()) {
        backgroundTask = currentTask;
        if (TaskPtr next = elementAfter(indexOf(currentTask.get()))) {
            makeCurrent(next);
            next->execute();
        }
    }

    if (TaskDelegate* observer = taskDelegate()) {
        observer->taskDidStartWithStatus(currentTask.get(), status());
    }
}

void TaskSequence::executionFinishedOfTask(Task* task) {
    const std::ptrdiff_t index = indexOf(task);
    if (index < 0) {
        Logger::shared().logError("Task sequence was told of the completion of a task it does not run.");
        return;
    }
    const bool isLast = static_cast<std::size_t>(index) + 1 == tasks.size();

    if (task->backgroundProcess()) {
        semaphore->signal();
        backgroundTaskFinished = true;
        if (isLast) {
            complete();
        }
        return;  // the foreground chain goes on by itself
    }
    if (isLast) {
        complete();
        return;
    }

    TaskPtr next = elementAfter(index);
    makeCurrent(next);
    TaskDelegate* observer = taskDelegate();
    if (!next->backgroundProcess() && observer != nullptr) {
        observer->taskDidStartWithStatus(next.get(), next->status());
    }

    if (!next->waitForBackgroundProcess() || backgroundTaskFinished) {
        next->execute();
    } else {
        startWhenBackgroundTaskFinished();
    }

    if (next->backgroundProcess()) {
        backgroundTask = next;
        if (TaskPtr following = elementAfter(indexOf(next.get()))) {
            makeCurrent(following);
            if (observer != nullptr) {
                observer->taskDidStartWithStatus(following.get(), following->status());
            }
            following->execute();
        }
    }
}

void TaskSequence::startWhenBackgroundTaskFinished() {
    // Keep the background step's text on show while the current step waits for it.
    if (TaskDelegate* observer = taskDelegate()) {
        observer->taskDidStartWithStatus(currentTask.get(), backgroundTask ? backgroundTask->status() : std::string());
        observer->taskDidUpdateProgressLabelWithValue(backgroundTask.get(), "Installing Game", "");
    }
    auto self = std::static_pointer_cast<TaskSequence>(shared_from_this());
    auto waitFor = semaphore;
    platform::dispatch::asyncGlobal([self, waitFor] {
        waitFor->wait();
        Logger::shared().logDebug("Task execution started after semaphore was released.");
        // The step starts where every step does: what it reports from inside execute, a failure
        // to start included, then reaches the observers on the main thread like its later reports.
        platform::dispatch::asyncMain([self] {
            if (TaskPtr task = self->currentTask) {
                task->execute();
            }
        });
    });
}

void TaskSequence::complete() {
    currentTask = nullptr;
    finished = true;
    if (TaskDelegate* observer = taskDelegate()) {
        observer->executionFinishedOfTask(this);
    }
}

double TaskSequence::taskDidUpdateProgress(Task*, double progress) {
    // Every report, the background step's included, fills the slot of the current foreground step.
    double sum = 0;
    for (const auto& task : tasks) {
        if (task == currentTask) {
            sum += progress;
            break;
        }
        if (!task->backgroundProcess()) {
            sum += task->totalProgress();
        }
    }
    if (TaskDelegate* observer = taskDelegate()) {
        observer->taskDidUpdateProgress(this, sum);
    }
    return sum;
}

void TaskSequence::taskDidStartWithStatus(Task* task, const std::string& status) {
    if (TaskDelegate* observer = taskDelegate()) {
        observer->taskDidStartWithStatus(task, status);
    }
}

void TaskSequence::taskDidUpdateProgressLabelWithValue(Task* task, const std::string& label, const std::string& value) {
    if (TaskDelegate* observer = taskDelegate()) {
        observer->taskDidUpdateProgressLabelWithValue(task, label, value);
    }
}

void TaskSequence::taskFinishedWithError(Task* task, const platform::Error& error) {
    if (TaskDelegate* observer = taskDelegate()) {
        observer->taskFinishedWithError(task, error);
    }
}

void TaskSequence::terminateRootTask() {
    const std::filesystem::path marker = platform::paths::applicationSupportDirectory() / "installer.wait";
    std::error_code error;
    if (!std::filesystem::exists(marker, error)) {
        return;
    }
    // A marker that is a folder goes with everything in it.
    std::filesystem::remove_all(marker, error);
    if (error) {
        Logger::shared().logError("Cannot remove file %@. Error %@", marker, platform::Error::posix(error.value()));
        return;
    }
    Logger::shared().logInfo("Removed file %@.", marker);
}
