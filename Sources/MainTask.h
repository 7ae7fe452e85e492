#pragma once

#include "Downloader.h"
#include "FileSizeFetcher.h"
#include "TaskSequence.h"
#include "platform/Json.h"

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
// components, builds the fixed list of steps and runs it. Main thread only: execute, the size
// callback and tookLock. The steps are owned by the sequence; the delegate is not owned
// and hears of the download total once, when the sizes arrive. A remote document without a usable
// application name or shortcut caption ends the run before any step: the task delegate gets one
// "LaunchTask" error with this task. From the start of "Create Semaphore" until the batch has
// ended, the batch may be installing and cannot be stopped: the application's ending is held
// meanwhile, and a request to end shows kCannotStopNowText and is carried out when the batch ends.
class MainTask : public TaskSequence, public FileSizeFetcherDelegate {
public:
    // The machine-wide lock that keeps two installations apart.
    static constexpr const char* kLockFilePath = "/tmp/ravl.lock";
    // Shown as the status, and logged, when the installer is asked to end while its batch may be installing.
    static constexpr const char* kCannotStopNowText =
        "The installation cannot be stopped now. The installer will quit when it has finished.";

    MainTask() = default;

    // Not owned.
    MainTaskDelegate* delegate() const { return _delegate; }
    void setDelegate(MainTaskDelegate* delegate) { _delegate = delegate; }
    const std::vector<std::shared_ptr<Downloader>>& downloaders() const { return _downloaders; }
    const std::string& publisher() const { return _publisher; }
    const std::shared_ptr<FileSizeFetcher>& fileSizeFetcher() const { return _fileSizeFetcher; }

    static std::string absolutePathForLocalPath(const std::string& localPath);
    // The remote document, fetched anew from the configuration's "jsonUrl"; nothing when it could
    // not be had or is no JSON object.
    std::optional<platform::json::Value> jsonDict();
    // A remote name made safe to be a file name: the path and shell-meaningful characters
    // ":/&?\\" and every control character removed.
    static std::string cleanedName(const std::string& name);

    // Whether a live process other than this one holds the lock: another installation is running.
    // Whoever would touch what it uses (its download, "progress_catcher.log", "installer.wait")
    // asks first. Any thread.
    static bool otherInstallerHoldsLock(const std::string& lockFilePath = kLockFilePath);
    // Whether this run took the lock; only then is "installer.wait" its own to remove.
    bool tookLock() const { return _tookLock; }

    // Builds the steps (see buildPipeline) and runs them.
    void execute() override;
    void invalidate() override;

    // Reads the remote document, runs the checkers and adds every step, running none. False when
    // the run ended before any step, after telling the task delegate why.
    bool buildPipeline();
    const std::string& lockFilePath() const { return _lockFilePath; }
    // Moves the lock elsewhere (tests); set before execute.
    void setLockFilePath(std::string path) { _lockFilePath = std::move(path); }

    void fileSizeFetcherDidCalculateFileSizesForUrls(FileSizeFetcher* fetcher,
                                                     const std::vector<std::int64_t>& sizes,
                                                     const std::vector<std::string>& urls) override;

    // Notes when the lock step succeeds, then advances as every sequence does.
    void executionFinishedOfTask(Task* task) override;
    void taskFinishedWithError(Task* task, const platform::Error& error) override;

protected:
    MainTaskDelegate* _delegate = nullptr;
    std::vector<std::shared_ptr<Downloader>> _downloaders;
    std::string _publisher;
    std::shared_ptr<FileSizeFetcher> _fileSizeFetcher;

private:
    void failBeforeStart();
    void holdEndingWhileTheBatchMayInstall();
    void showCannotStopNow();
    void releaseEnding();
    void batchEnded();

    std::string _lockFilePath = kLockFilePath;
    TaskPtr _lockTask;
    bool _tookLock = false;
    TaskPtr _semaphoreStep;
    bool _batchEnded = false;
    bool _endingHeld = false;
    bool _endRequested = false;
};
