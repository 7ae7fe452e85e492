#pragma once

#include "LockFile.h"
#include "platform/Error.h"

#include <functional>
#include <optional>
#include <string>

using LockFileOperation = std::function<int(LockFileAttempt&)>;
using LockFileFinish = std::function<void(int result, const LockFileAttempt& attempt)>;

// Runs an operation on the lock file at `path` for the main thread, which never waits on it. The
// first try happens at once; when its answer holds, `finish` runs from inside this call. When what
// stopped it may pass by itself (LockFileAttempt::mayPass: another process's flock, the batch of
// an installer that has gone), the wait is logged and the operation is tried again on a worker
// (lockFileRetryWhilePassing, a few seconds at most); `finish` then runs on the main thread with the
// last answer. Either way `finish` runs exactly once, and what it holds is kept alive until then.
void runLockFileOperation(const std::string& path, LockFileOperation operation, LockFileFinish finish);

// The failure of a lock step: domain "LaunchTask", code -1, with the given texts.
platform::Error lockStepError(std::string description, std::optional<std::string> failureReason,
                              std::optional<std::string> advice);
