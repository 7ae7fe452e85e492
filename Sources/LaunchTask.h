#pragma once
// Stand-in until the companion launch lands.
#include "Task.h"

#include <string>

class LaunchTask : public Task {
public:
    explicit LaunchTask(std::string appName) : _appName(std::move(appName)) {}
    void execute() override {}
    void invalidate() override {}
    double totalProgress() override { return _estimated; }
    std::string status() override { return "Launching the app..."; }
    bool knownRemainingTime() override { return false; }
    const std::string& appName() const { return _appName; }
    void setEstimated(double estimated) { _estimated = estimated; }

private:
    std::string _appName;
    double _estimated = 0;
};
