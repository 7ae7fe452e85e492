#pragma once

#include "Downloader.h"
#include "FileSizeFetcher.h"
#include "TaskSequence.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class MainTask;

// Learns the total number of bytes to download, on the main thread.
class MainTaskDelegate {
public:
    virtual ~MainTaskDelegate() = default;
    virtual void mainTaskDidFetchDownloadingSize(MainTask* task, std::int64_t size) = 0;
};

// The installation: reads the configuration and the remote document, finds the missing
// components, builds the fixed list of steps and runs it. Executed on the main thread.
class MainTask : public TaskSequence, public FileSizeFetcherDelegate {
public:
    MainTask() = default;

    // Not owned.
    MainTaskDelegate* delegate() const { return _delegate; }
    void setDelegate(MainTaskDelegate* delegate) { _delegate = delegate; }
    const std::vector<std::shared_ptr<Downloader>>& downloaders() const { return _downloaders; }
    const std::string& publisher() const { return _publisher; }
    const std::shared_ptr<FileSizeFetcher>& fileSizeFetcher() const { return _fileSizeFetcher; }

    static std::string absolutePathForLocalPath(const std::string& localPath);
    // The remote document, or nothing when it could not be had.
    std::optional<nlohmann::json> jsonDict();

    void execute() override;
    void invalidate() override;

    void fileSizeFetcherDidCalculateFileSizesForUrls(FileSizeFetcher* fetcher,
                                                     const std::vector<std::int64_t>& sizes,
                                                     const std::vector<std::string>& urls) override;

protected:
    MainTaskDelegate* _delegate = nullptr;
    std::vector<std::shared_ptr<Downloader>> _downloaders;
    std::string _publisher;
    std::shared_ptr<FileSizeFetcher> _fileSizeFetcher;
};
