#pragma once

#include "Downloader.h"
#include "FileSizeFetcher.h"
#include "TaskSequence.h"
#include "platform/Json.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class LockTask;
class MainTask;
class RootTask;

// Learns the total number of bytes to download, or -1 when a server did not state a size, on
// the main thread.
class MainTaskDelegate {
public:
    virtual ~MainTaskDelegate() = default;
    virtual void mainTaskDidFetchDownloadingSize(MainTask* task, std::int64_t size) = 0;
};

// The installation: reads the configuration and the remote document, finds the missing
// components, builds the fixed list of steps and runs it. Main thread only: execute,
// buildPipeline, the size callback and holdsLock (checked in debug builds). The two waits on the
// outside world, fetching the remote document and running the components' checkers, happen on a
// worker; the main thread goes on answering meanwhile and takes their answers in order. Before the
// checkers, a lock kept only by the batch of an installer that has gone is given a few seconds to
// be let go (on a worker), so that such a batch does not make this run skip the components. The
// steps are owned by the sequence; the delegate is not owned and hears of the download total once,
// when the sizes arrive. A remote document without a usable application name or shortcut caption
// ends the run before any step: the task delegate gets one "LaunchTask" error with this task. From
// the start of "Create Semaphore" until the batch has ended, the batch may be installing and cannot
// be stopped: the application's ending is held meanwhile, and a request to end shows
// kCannotStopNowText and is carried out when the batch ends. The marker "installer.wait" is
// removed when the lock is taken (a killed run's) and when the batch has ended (this run's), both
// while this run holds the lock.
class MainTask : public TaskSequence, public FileSizeFetcherDelegate {
public:
    // The machine-wide lock that keeps two installations apart.
    static constexpr const char* kLockFilePath = "/tmp/ravl.lock";
    // Shown as the status, and logged, when the installer is asked to end while its batch may be installing.
    static constexpr const char* kCannotStopNowText =
        "The installation cannot be stopped now. The installer will quit when it has finished.";

    // The remote document as fetched, or why there is none (a log line's text).
    struct RemoteDocument {
        std::optional<platform::json::Value> document;
        std::string failure;
    };

    MainTask() = default;

    // Not owned.
    MainTaskDelegate* delegate() const { return _delegate; }
    void setDelegate(MainTaskDelegate* delegate) { _delegate = delegate; }
    const std::vector<std::shared_ptr<Downloader>>& downloaders() const { return _downloaders; }
    // Cleaned for showing (see cleanedText).
    const std::string& publisher() const { return _publisher; }
    const std::shared_ptr<FileSizeFetcher>& fileSizeFetcher() const { return _fileSizeFetcher; }

    static std::string absolutePathForLocalPath(const std::string& localPath);
    // Fetches the remote document anew from the "jsonUrl" of the given configuration file
    // (bounded: 10 s to connect, 30 s in all, at most 1 MiB of a 2xx answer); no document unless
    // it is a JSON object. Blocks, and logs nothing: a worker's call.
    static RemoteDocument jsonDict(const std::filesystem::path& configsFile);
    // Remote text made safe to show: every control character, the line and paragraph separators,
    // the invisible format characters (every bidirectional control, U+200B, U+FEFF: category Cf)
    // and every default-ignorable code point (the Hangul fillers, variation selectors, tags), which
    // could break a row, reverse what it reads or hide a character, removed. The zero-width
    // non-joiner and joiner (U+200C, U+200D) stay only between two visible non-ASCII characters,
    // where Persian and Indic spelling and emoji sequences need them.
    static std::string cleanedText(const std::string& text);
    // A remote name made safe to be a file name: cleanedText, and the path and shell-meaningful
    // characters ":/&?\\" removed.
    static std::string cleanedName(const std::string& name);
    // Whether a cleaned name can name the bundle "<name>.app": it has a visible character (one that
    // is neither removed by cleaning nor blank: white space, U+00A0, the Braille blank U+2800, the
    // Hangul fillers), its first visible character is not "." (which would hide the bundle, or read
    // as hidden, or name "." or ".."), and the bundle's name is within the 255-byte limit of a
    // file name.
    static bool isUsableName(const std::string& name);

    // Whether a live process other than this one holds the lock: another installation is running.
    // Whoever would touch what it uses (its download, "progress_catcher.log", "installer.wait")
    // asks first. Any thread.
    static bool otherInstallerHoldsLock(const std::string& lockFilePath = kLockFilePath);
    // Whether this run holds the lock: taken, and not given back yet. Only then is "installer.wait"
    // its own to remove: no other run can have written it meanwhile.
    bool holdsLock() const { return _holdsLock; }

    // Builds the steps (see buildPipeline) and runs them. Returns before the remote document is in.
    void execute() override;
    void invalidate() override;

    // Called on the main thread, once: true when every step has been added, false when the run
    // ended before any step (the task delegate has been told why).
    using BuiltHandler = std::function<void(bool built)>;
    // Reads the remote document, runs the checkers and adds every step, running none; then calls
    // `built`. Never calls it when this task has gone or the application is terminating by the
    // time a worker's answer comes: the answer is dropped.
    void buildPipeline(BuiltHandler built);
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
    // The installed application's and the shortcut's names.
    struct Names {
        std::string appName;
        std::string caption;
    };

    void takeRemoteDocument(const RemoteDocument& remote, const BuiltHandler& built);
    void sendStartStatistics(const std::optional<std::string>& referrer);
    void failBeforeStart();
    void holdEndingWhileTheBatchMayInstall();
    void showCannotStopNow();
    void releaseEnding();
    void batchEnded();
    // Runs the checkers of the configuration's components on a worker, then hands the components
    // that are missing or out of date to `found`, in configuration order, on the main thread.
    void findNeededComponents(std::function<void(std::vector<std::shared_ptr<DownloadableEntry>>)> found);
    void findNeededComponentsOnceJudged(
        const std::function<void(std::vector<std::shared_ptr<DownloadableEntry>>)>& found);
    void addSteps(const std::vector<std::shared_ptr<DownloadableEntry>>& needed, const Names& names);
    void addBatchSteps(RootTask& batch, const std::vector<std::shared_ptr<DownloadableEntry>>& needed, const Names& names,
                       const std::string& version);
    void addClosingSteps(double batchWeight, const std::string& appName, const std::string& version);
    // Runs the given work on a worker and then `then` on the main thread with its result, unless
    // this task has gone or the application is terminating by then.
    template <typename Result>
    void offMainThread(std::function<Result()> work, std::function<void(MainTask&, Result)> then);

    std::string _lockFilePath = kLockFilePath;
    std::shared_ptr<LockTask> _lockTask;
    TaskPtr _unlockTask;
    bool _holdsLock = false;
    TaskPtr _semaphoreStep;
    bool _batchEnded = false;
    bool _endingHeld = false;
    bool _endRequested = false;
};
