#pragma once

#include "BashTask.h"

#include <cstdint>
#include <map>

// Extracts a zip archive with /usr/bin/unzip and reports progress by the members extracted.
// The constructor asks for administrator rights once and blocks its caller until the prompt is
// answered; the rest behaves as BashTask (output on the arming thread, one end report on main).
class UnzipTask : public BashTask, public BashTaskDelegate {
public:
    UnzipTask(const std::string& archive, const std::string& destination);

    void execute() override;
    double totalProgress() override { return static_cast<double>(totalSize); }
    void onDataReceived(const std::string& line) override;
    void onTerminate() override {}

    static std::optional<long long> parseFileSizeFromString(const std::string& text) { return leadingInteger(text); }

    std::int64_t getTotalSize() const { return totalSize; }
    std::int64_t getRemainingSize() const { return remainingSize; }
    std::int64_t getRemainingFiles() const { return remainingFiles; }

private:
    // Reads "unzip -l": the members' full destination paths with their sizes, and the total.
    void readListing();

    std::string sourcePath;
    std::string destinationPath;
    std::map<std::string, long long> fileSizes;
    std::int64_t totalSize = 0;
    std::int64_t remainingSize = 0;
    std::int64_t remainingFiles = 0;
};
