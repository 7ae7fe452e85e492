#pragma once

#include "DownloadableEntry.h"
#include "Task.h"

#include <cstdint>
#include <memory>
#include <string>

// Fetches one component into its destination file.
class Downloader : public Task {
public:
    explicit Downloader(std::shared_ptr<DownloadableEntry> entry);

    const std::shared_ptr<DownloadableEntry>& entry() const { return _entry; }
    void setEntry(std::shared_ptr<DownloadableEntry> entry) { _entry = std::move(entry); }
    std::int64_t fileSize() const { return _fileSize; }
    void setFileSize(std::int64_t size) { _fileSize = size; }
    std::int64_t totalDownloadSize() const { return _totalDownloadSize; }
    void setTotalDownloadSize(std::int64_t size) { _totalDownloadSize = size; }

    void execute() override;
    void invalidate() override;
    double totalProgress() override { return static_cast<double>(_fileSize); }
    std::string status() override;
    bool knownRemainingTime() override { return true; }

private:
    std::shared_ptr<DownloadableEntry> _entry;
    std::int64_t _fileSize = 0;
    std::int64_t _totalDownloadSize = 0;
};
