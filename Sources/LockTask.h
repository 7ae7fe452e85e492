#pragma once

#include "LockFile.h"
#include "Task.h"

#include <string>

// The first step of an installation: takes the machine-wide lock file, or fails when another
// installation holds it ("Other process is in progress", with the holder's description) or when
// the file itself cannot be used (an alert naming the file and the system's reason).
//
// execute() and the one report arrive on the main thread, which never waits on the lock: a free
// lock or a live holder is reported from inside execute; what passes by itself (another process's
// short flock, the batch of an installer that has gone) is tried again on a worker for a few
// seconds, and the report follows on the main thread. Create with std::make_shared: a step that
// waits keeps itself alive until it has reported.
class LockTask : public Task {
public:
    explicit LockTask(std::string lockFilePath);

    void execute() override;
    void invalidate() override {}
    double totalProgress() override { return 0; }
    std::string status() override { return "Checking if other installing is allowed..."; }
    bool knownRemainingTime() override { return false; }

    const std::string& lockFilePath() const { return _lockFilePath; }
    void setLockFilePath(std::string path) { _lockFilePath = std::move(path); }
    // Whether a batch alone is given its few seconds (the default). A run that has already given it
    // that time, and found the lock still held, takes it as a holder like any other.
    void setWaitsForABatchAlone(bool waits) { _waitsForABatchAlone = waits; }

private:
    void finish(int result, const LockFileAttempt& attempt);

    std::string _lockFilePath;
    bool _waitsForABatchAlone = true;
    // The holder's description; written by the try that runs last, read by finish after it.
    char _holderDescription[kLockFileDescriptionSize] = {};
};
