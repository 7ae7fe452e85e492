#pragma once

#include "BashTask.h"

// A child step that is its own line observer: every output line goes to the log.
class ScriptTask : public BashTask, public BashTaskDelegate {
public:
    using BashTask::BashTask;

    void execute() override;
    void onDataReceived(const std::string& line) override;
    void onTerminate() override {}

    static std::optional<long long> parseFileSizeFromString(const std::string& text) { return leadingInteger(text); }
};
