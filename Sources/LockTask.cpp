#include "LockTask.h"

#include "LockFile.h"
#include "Logger/Logger.h"
#include "TaskDelegate.h"

LockTask::LockTask(std::string lockFilePath) : _lockFilePath(std::move(lockFilePath)) {}

void LockTask::execute() {
    char holderDescription[kLockFileDescriptionSize] = {};
    int result = lockFileTryAcquire(_lockFilePath.c_str(), "Installation in progress, please try again later.",
                                    holderDescription);
    if (result == kLockFileOk) {
        Logger::shared().logInfo("Installer successfully acquired the lock file: %@", _lockFilePath);
        if (TaskDelegate* observer = taskDelegate()) {
            observer->executionFinishedOfTask(this);
        }
        return;
    }

    std::string description = holderDescription;
    platform::Error error("LaunchTask", -1,
                          {.localizedDescription = description,
                           .localizedFailureReason = "Other process is in progress",
                           .localizedRecoverySuggestion = std::nullopt,
                           .underlyingError = std::nullopt});
    Logger::shared().logError("Other process is in progress: '%@'", description);
    if (TaskDelegate* observer = taskDelegate()) {
        observer->taskFinishedWithError(this, error);
    }
}
