#include "LockTask.h"

#include "LockFileStep.h"
#include "Logger/Logger.h"
#include "StepEnd.h"
#include "platform/Format.h"

namespace {

constexpr const char* kOwnDescription = "Installation in progress, please try again later.";

// The advice when the lock file itself cannot be used: what failed, the system's reason, and what to do.
std::string fileFailureAdvice(const LockFileAttempt& attempt) {
    const std::string reason = platform::Error::posix(attempt.systemError).localizedDescription();
    switch (attempt.failure) {
        case LockFileAttempt::Failure::Lock:
            return platform::format("The installer could not lock it: %@. Please wait a moment and run the installer "
                                    "again.", reason);
        case LockFileAttempt::Failure::Write:
            return platform::format("The installer could not write its record into it: %@. Please check that the "
                                    "disk has free space and run the installer again.", reason);
        default:
            return platform::format("The installer could not open or create it: %@. Please make sure that every "
                                    "user may read and write this file, or ask an administrator to remove it, and "
                                    "run the installer again.", reason);
    }
}

}  // namespace

LockTask::LockTask(std::string lockFilePath) : _lockFilePath(std::move(lockFilePath)) {}

void LockTask::execute() {
    const std::string path = _lockFilePath;
    char* holderDescription = _holderDescription;
    holderDescription[0] = '\0';
    runLockFileOperation(
        path,
        [path, holderDescription, waits = _waitsForABatchAlone](LockFileAttempt& attempt) {
            const int result = lockFileTryAcquireExplained(path.c_str(), kOwnDescription, holderDescription, attempt);
            attempt.heldByBatchAlone = attempt.heldByBatchAlone && waits;
            return result;
        },
        [this, keep = weak_from_this().lock()](int result, const LockFileAttempt& attempt) {
            finish(result, attempt);
        });
}

void LockTask::finish(int result, const LockFileAttempt& attempt) {
    if (result == kLockFileOk) {
        Logger::shared().logInfo("Installer successfully acquired the lock file: %@", _lockFilePath);
        reportStepEnd(this, std::nullopt);
        return;
    }
    if (result == kLockFileHeld) {
        std::string description = _holderDescription;
        Logger::shared().logError("Other process is in progress: '%@'", description);
        reportStepEnd(this, lockStepError(description, "Other process is in progress", std::nullopt));
        return;
    }
    const std::string advice = fileFailureAdvice(attempt);
    Logger::shared().logError("Cannot use the lock file %@: %@", _lockFilePath, advice);
    reportStepEnd(this, lockStepError(platform::format("Cannot use the lock file \"%@\"", _lockFilePath), std::nullopt,
                                      advice));
}
