#pragma once

#include "DownloadableEntry.h"
#include "Task.h"
#include "platform/DownloadSession.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Fetches one component into its destination file through a download session named after the
// bundle and the component, so that a later run picks up a transfer this one left unfinished.
// Only a regular file of the user's own at the destination counts as already downloaded, and
// only a file of the size the pipeline measured (`fileSize` when execute is called) is delivered.
// Everything runs on the main thread: execute, the session's events and the one report of the
// step (executionFinishedOfTask, or taskFinishedWithError with domain "Downloader"), which comes
// after a failed transfer has been retried from its partial file `retryPauses.size()` times; its
// alert blames the disk when the transfer's own files could not be written, else the network.
class Downloader : public Task, private platform::DownloadSessionDelegate {
public:
    struct Settings {
        std::vector<std::chrono::milliseconds> retryPauses{std::chrono::seconds(1), std::chrono::seconds(2),
                                                          std::chrono::seconds(4), std::chrono::seconds(8)};
        // Nothing received for the stall limit, or less than `minimumRate` bytes a second over
        // the rate window, fails a transfer (and takes it to a retry).
        std::chrono::seconds stallLimit{30};
        std::int64_t minimumRate = 1024;
        std::chrono::seconds rateWindow{60};
        // The statistics facade unless set.
        std::function<void(std::int64_t)> sendAction;
        std::function<void(std::uint64_t)> sendSystemInfo;
    };

    explicit Downloader(std::shared_ptr<DownloadableEntry> entry);
    ~Downloader() override;

    const std::shared_ptr<DownloadableEntry>& entry() const { return _entry; }
    void setEntry(std::shared_ptr<DownloadableEntry> entry) { _entry = std::move(entry); }
    std::int64_t fileSize() const { return _fileSize; }
    void setFileSize(std::int64_t size) { _fileSize = size; }
    std::int64_t totalDownloadSize() const { return _totalDownloadSize; }
    void setTotalDownloadSize(std::int64_t size) { _totalDownloadSize = size; }
    const std::shared_ptr<platform::DownloadSession>& urlSession() const { return _urlSession; }
    void setSettings(Settings settings) { _settings = std::move(settings); }

    void execute() override;
    void invalidate() override;
    double totalProgress() override { return static_cast<double>(_fileSize); }
    std::string status() override;
    bool knownRemainingTime() override { return true; }

private:
    void downloadTaskDidWriteData(platform::DownloadTask& task, std::int64_t bytesWritten, std::int64_t totalBytesWritten,
                                  std::int64_t totalBytesExpectedToWrite) override;
    void downloadTaskDidResumeAtOffset(platform::DownloadTask& task, std::int64_t offset,
                                       std::int64_t expectedTotalBytes) override;
    void downloadTaskDidFinishDownloadingToUrl(platform::DownloadTask& task,
                                               const std::filesystem::path& location) override;
    void taskDidCompleteWithError(platform::DownloadTask& task, const std::optional<platform::Error>& error,
                                  const std::optional<std::string>& resumeData) override;
    void downloadSessionDidDiscardRecord(const std::string& reason) override;

    void attach(const std::vector<std::shared_ptr<platform::DownloadTask>>& tasks);
    void start(std::shared_ptr<platform::DownloadTask> task);
    void retry(const std::optional<std::string>& resumeData, const platform::Error& error);
    void sendAction(std::int64_t code) const;
    // The step's one report.
    void finish(const std::optional<platform::Error>& error);

    std::chrono::steady_clock::time_point _startTime;
    std::shared_ptr<DownloadableEntry> _entry;
    std::int64_t _fileSize = 0;
    std::int64_t _totalDownloadSize = 0;
    std::shared_ptr<platform::DownloadSession> _urlSession;
    std::shared_ptr<platform::DownloadTask> _task;
    Settings _settings;
    std::size_t _retries = 0;
    bool _reported = false;
};
