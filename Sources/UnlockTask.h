#pragma once

#include "Task.h"

#include <string>

// Gives the machine-wide lock file back after the administrator batch.
//
// execute() and the one report arrive on the main thread, which never waits on the lock: the
// report comes from inside execute, unless another process holds the file's short flock at that
// moment; the release is then tried again on a worker for up to 2 seconds, and the report follows
// on the main thread. Create with std::make_shared: a step that waits keeps itself alive until it
// has reported.
class UnlockTask : public Task {
public:
    explicit UnlockTask(std::string lockFilePath);

    void execute() override;
    void invalidate() override {}
    double totalProgress() override { return 0; }
    std::string status() override { return "Unlocking the lock file..."; }
    bool knownRemainingTime() override { return false; }

    const std::string& lockFilePath() const { return _lockFilePath; }
    void setLockFilePath(std::string path) { _lockFilePath = std::move(path); }

private:
    void finish(int result);

    std::string _lockFilePath;
};
