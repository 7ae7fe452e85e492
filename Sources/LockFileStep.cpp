#include "LockFileStep.h"

#include "Logger/Logger.h"
#include "platform/Dispatch.h"
#include "platform/RunLoop.h"

void runLockFileOperation(const std::string& path, LockFileOperation operation, LockFileFinish finish) {
    platform::assertMainThread();
    LockFileAttempt attempt;
    const int result = operation(attempt);
    if (!attempt.mayPass()) {
        finish(result, attempt);
        return;
    }
    if (attempt.heldByBatchAlone) {
        Logger::shared().logInfo("The lock file %@ is kept only by the administrator batch of an installer that has "
                                 "ended; waiting a few seconds for the batch to end.", path);
    } else {
        Logger::shared().logInfo("The lock file %@ is in use by another process for a moment; trying again.", path);
    }
    platform::dispatch::asyncGlobal([operation = std::move(operation), finish = std::move(finish)] {
        LockFileAttempt last;
        const int lastResult = lockFileRetryWhilePassing(operation, last);
        platform::dispatch::asyncMain([finish, lastResult, last] { finish(lastResult, last); });
    });
}

platform::Error lockStepError(std::string description, std::optional<std::string> failureReason,
                              std::optional<std::string> advice) {
    return platform::Error("LaunchTask", -1,
                           {.localizedDescription = std::move(description),
                            .localizedFailureReason = std::move(failureReason),
                            .localizedRecoverySuggestion = std::move(advice),
                            .underlyingError = std::nullopt});
}
