#pragma once
// Stand-in until the administrator batch lands.
#include "BashTask.h"
#include "Task.h"

#include <memory>
#include <vector>

class RootTask : public Task {
public:
    RootTask() = default;
    void addBashTask(std::shared_ptr<BashTask> task) { tasks.push_back(std::move(task)); }
    void execute() override {}
    void invalidate() override {}
    double totalProgress() override {
        double total = 0;
        for (const auto& task : tasks) total += task->estimated();
        return total;
    }
    std::string status() override { return "Installing..."; }
    bool knownRemainingTime() override { return false; }
    std::vector<std::shared_ptr<BashTask>> tasks;
};
