#pragma once

#include "Task.h"

#include <string>

// Gives the machine-wide lock file back after the administrator batch. Reports from inside
// execute, on the calling thread.
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
    std::string _lockFilePath;
};
