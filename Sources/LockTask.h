#pragma once

#include "Task.h"

#include <string>

// The first step of an installation: takes the machine-wide lock file, or fails when another
// installation holds it. Reports from inside execute, on the calling thread.
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

private:
    std::string _lockFilePath;
};
