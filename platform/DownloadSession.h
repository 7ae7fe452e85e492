#pragma once

#include "platform/Error.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class DownloadTask;

// Receives a session's events on the main thread, in the order they happened, and never once
// the session is invalidated. Every task that runs ends with exactly one taskDidComplete call;
// a successful one is preceded by downloadTaskDidFinishDownloading.
class DownloadSessionDelegate {
public:
    virtual ~DownloadSessionDelegate() = default;
    // At most about 30 a second. The totals count from the file's first byte, so a resumed transfer
    // includes its offset; the expected total is -1 when the server stated no length.
    virtual void downloadTaskDidWriteData(DownloadTask& task, std::int64_t bytesWritten, std::int64_t totalBytesWritten,
                                          std::int64_t totalBytesExpectedToWrite) = 0;
    virtual void downloadTaskDidResumeAtOffset(DownloadTask& task, std::int64_t offset, std::int64_t expectedTotalBytes) = 0;
    // The whole file, in the session's folder beside the temporary folder's files: move it away
    // during this call, whatever is left there is removed afterwards.
    virtual void downloadTaskDidFinishDownloadingToUrl(DownloadTask& task, const std::filesystem::path& location) = 0;
    // No error after success. After a failure `resumeData` is set when the partial file can be
    // picked up again (downloadTaskWithResumeData).
    virtual void taskDidCompleteWithError(DownloadTask& task, const std::optional<Error>& error,
                                          const std::optional<std::string>& resumeData) = 0;
    // A record of a partial file (or something not a folder in the place of their folder) could
    // not be used or saved and is gone: no transfer goes on from that partial file, the next one
    // starts over. `reason` names the record (or the folder) and the fault.
    virtual void downloadSessionDidDiscardRecord(const std::string& /*reason*/) {}
};

// One transfer of a session. Its state is read on the main thread.
class DownloadTask {
public:
    enum class State { Running = 0, Suspended = 1, Canceling = 2, Completed = 3 };

    State state() const;
    const std::string& originalUrl() const { return _url; }
    // Starts a suspended task; does nothing otherwise. While another task of the session runs,
    // the task completes at once with an error (code -1) instead.
    void resume();
    // Ends the transfer; its completion carries an error of code -999.
    void cancel();

private:
    friend class DownloadSession;
    struct Shared;
    DownloadTask(std::weak_ptr<Shared> session, std::string url, bool resumes);

    std::weak_ptr<Shared> _session;
    std::string _url;
    bool _resumes;
    struct Progress;
    std::shared_ptr<Progress> _progress;
};

// A download session found again by its identifier. A transfer outlives the process by resuming:
// its partial file and a record of it (address, validators, whether the server serves ranges)
// stay in the user's private folder "<temporary folder>/.downloading/", and a later session with
// the same identifier offers them from getTasks as a suspended task. A transfer goes on from its
// partial file only when the server serves ranges and named a validator for If-Range; otherwise
// it starts over. Anything but a regular file of the user's own where a partial file belongs, and
// anything of the user's own but a folder where the folder belongs, is discarded; that folder,
// when too open, is narrowed, and when it is someone else's (or holds something of theirs) it is
// left alone and the session keeps its files in a fresh private folder, removed when the session
// goes or the process ends. Only the file as it is (no content encoding) is delivered, and only
// at the one length stated for it in the session: the configuration's expected length and every
// length an answer states (a 206's range end, a 200's length) must agree, and the body must end
// there. An answer that contradicts it, whose status line does not parse, or that is any other
// answer fails the task, keeping what can be resumed. A session
// runs one task at a time, on its one transfer thread, streaming to disk: a task resumed while
// another of its tasks runs (from its resume until its completion has been delivered) completes
// at once with an error and touches no file.
// Created, used and destroyed on the main thread; destruction invalidates it.
class DownloadSession {
public:
    struct Configuration {
        std::string identifier;
        // A transfer that receives nothing for this long fails (a silent server would hang it),
        // and so does one that receives less than `minimumRate` bytes a second over a
        // `rateWindow` (a trickling server would hold it nearly as long).
        std::chrono::seconds stallLimit{30};
        std::int64_t minimumRate = 1024;
        std::chrono::seconds rateWindow{60};
        std::chrono::seconds connectTimeout{30};
        // The file's length as measured before the transfer; -1 when it is not known.
        std::int64_t expectedLength = -1;
    };

    static std::shared_ptr<DownloadSession> create(Configuration configuration, DownloadSessionDelegate* delegate);
    ~DownloadSession();
    DownloadSession(const DownloadSession&) = delete;
    DownloadSession& operator=(const DownloadSession&) = delete;

    const Configuration& configuration() const;

    // The transfers an earlier session under this identifier left behind, answered on the main
    // thread. Only a record that can be resumed is offered; any other is discarded with its
    // partial file and reported (downloadSessionDidDiscardRecord) before the answer.
    void getTasks(std::function<void(const std::vector<std::shared_ptr<DownloadTask>>&)> completion);
    // A suspended task that fetches the address from its first byte, dropping any partial file.
    std::shared_ptr<DownloadTask> downloadTask(const std::string& url);
    // A suspended task that goes on from the partial file the resume data describes.
    std::shared_ptr<DownloadTask> downloadTaskWithResumeData(const std::string& resumeData);
    // Cancels every task; no event is delivered afterwards. The partial files stay for a later run.
    void invalidateAndCancel();

    // The private folder that holds this session's partial files and their records.
    const std::filesystem::path& storageDirectory() const;

private:
    explicit DownloadSession(std::shared_ptr<DownloadTask::Shared> shared);
    std::shared_ptr<DownloadTask> makeTask(const std::string& url, bool resumes);
    std::shared_ptr<DownloadTask::Shared> _shared;
};

}  // namespace platform
