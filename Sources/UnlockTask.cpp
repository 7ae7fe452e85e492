#include "UnlockTask.h"

#include "LockFile.h"
#include "Logger/Logger.h"
#include "TaskDelegate.h"

UnlockTask::UnlockTask(std::string lockFilePath) : _lockFilePath(std::move(lockFilePath)) {}

void UnlockTask::execute() {
    if (lockFileRelease(_lockFilePath.c_str()) == kLockFileOk) {
        Logger::shared().logInfo("Installer successfully unlock the lock file: %@", _lockFilePath);
        if (TaskDelegate* observer = taskDelegate()) {
            observer->executionFinishedOfTask(this);
        }
        return;
    }

    platform::Error error("LaunchTask", -1,
                          {.localizedDescription = _lockFilePath,
                           .localizedFailureReason = "Cannot unlock the lock file:",
                           .localizedRecoverySuggestion = std::nullopt,
                           .underlyingError = std::nullopt});
    Logger::shared().logError("Cannot unlock the lock file: '%@'", _lockFilePath);
    if (TaskDelegate* observer = taskDelegate()) {
        observer->taskFinishedWithError(this, error);
    }
}
