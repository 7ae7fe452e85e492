#pragma once

#include "Task.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

class FileSizeFetcher;

// Receives the measured sizes, on the main thread.
class FileSizeFetcherDelegate {
public:
    virtual ~FileSizeFetcherDelegate() = default;
    // One size per address, in the order of the fetcher's addresses; -1 where none was given
    // (also where the answer was not a 2xx one).
    virtual void fileSizeFetcherDidCalculateFileSizesForUrls(FileSizeFetcher* fetcher,
                                                             const std::vector<std::int64_t>& sizes,
                                                             const std::vector<std::string>& urls) = 0;
};

// Measures every component's size before any download starts: one HEAD request per address, one
// after another, on a worker. The label, the sizes (to the delegate) and then the step's one
// report (executionFinishedOfTask; the step never fails) reach the main thread. Owned by a
// shared_ptr, which the work holds until its report has been delivered.
class FileSizeFetcher : public Task {
public:
    explicit FileSizeFetcher(std::vector<std::string> urls);

    // Not owned.
    FileSizeFetcherDelegate* delegate() const { return _delegate; }
    void setDelegate(FileSizeFetcherDelegate* delegate) { _delegate = delegate; }
    const std::vector<std::string>& urls() const { return _urls; }

    void execute() override;
    void invalidate() override;
    double totalProgress() override { return 0; }
    std::string status() override;
    bool knownRemainingTime() override { return false; }

    // The bound of each request; tests shorten it.
    void setTimeout(std::chrono::milliseconds timeout) { _timeout = timeout; }

private:
    void measure();

    std::chrono::milliseconds _timeout{30000};
    FileSizeFetcherDelegate* _delegate = nullptr;
    std::vector<std::string> _urls;
};
