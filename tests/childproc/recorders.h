#pragma once

#include "BashTaskDelegate.h"
#include "TaskDelegate.h"
#include "platform/RunLoop.h"

#include <optional>
#include <string>
#include <vector>

// Writes down every report a step sends, in order.
struct RecordingDelegate : TaskDelegate, BashTaskDelegate {
    std::vector<std::string> events;
    std::vector<std::string> lines;
    std::vector<double> progress;
    std::optional<platform::Error> error;
    bool reportsOnMainThread = true;

    void note(const std::string& event) {
        reportsOnMainThread = reportsOnMainThread && platform::RunLoop::isMainThread();
        events.push_back(event);
    }
    void taskDidStartWithStatus(Task*, const std::string&) override { note("start"); }
    double taskDidUpdateProgress(Task*, double amount) override {
        progress.push_back(amount);
        return amount;
    }
    void taskDidUpdateProgressLabelWithValue(Task*, const std::string&, const std::string&) override {}
    void taskFinishedWithError(Task*, const platform::Error& e) override {
        error = e;
        note("error");
    }
    void executionFinishedOfTask(Task*) override { note("finished"); }
    void onDataReceived(const std::string& line) override { lines.push_back(line); }
    void onTerminate() override { note("terminate"); }
};
