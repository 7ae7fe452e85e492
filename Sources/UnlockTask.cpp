#include "UnlockTask.h"

#include "LockFileStep.h"
#include "Logger/Logger.h"
#include "StepEnd.h"

UnlockTask::UnlockTask(std::string lockFilePath) : _lockFilePath(std::move(lockFilePath)) {}

void UnlockTask::execute() {
    const std::string path = _lockFilePath;
    runLockFileOperation(
        path, [path](LockFileAttempt& attempt) { return lockFileReleaseExplained(path.c_str(), attempt); },
        [this, keep = weak_from_this().lock()](int result, const LockFileAttempt&) { finish(result); });
}

void UnlockTask::finish(int result) {
    if (result == kLockFileOk) {
        Logger::shared().logInfo("Installer successfully unlock the lock file: %@", _lockFilePath);
        reportStepEnd(this, std::nullopt);
        return;
    }
    Logger::shared().logError("Cannot unlock the lock file: '%@'", _lockFilePath);
    reportStepEnd(this, lockStepError(_lockFilePath, "Cannot unlock the lock file:", std::nullopt));
}
