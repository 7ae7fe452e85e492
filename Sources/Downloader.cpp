#include "Downloader.h"

#include "Formatters.h"
#include "Logger/Logger.h"
#include "StatisticsManager.h"
#include "TaskDelegate.h"
#include "platform/Bundle.h"
#include "platform/Dispatch.h"
#include "platform/FileManager.h"
#include "platform/Log.h"
#include "platform/RunLoop.h"

#include <cmath>

namespace fs = std::filesystem;
using platform::DownloadTask;

namespace {

std::string fileUrl(const fs::path& path) {
    return "file://" + path.string();
}

const char* stateName(DownloadTask::State state) {
    switch (state) {
    case DownloadTask::State::Running:
        return "NSURLSessionTaskStateRunning";
    case DownloadTask::State::Suspended:
        return "NSURLSessionTaskStateSuspended";
    case DownloadTask::State::Canceling:
        return "NSURLSessionTaskStateCanceling";
    case DownloadTask::State::Completed:
        return "NSURLSessionTaskStateCompleted";
    }
    return "";
}

platform::Error downloaderError(std::string title, std::string advice) {
    platform::Error::Info info;
    info.localizedDescription = std::move(title);
    info.localizedRecoverySuggestion = std::move(advice);
    info.underlyingError = "Download error";
    return platform::Error("Downloader", -1, std::move(info));
}

}  // namespace

Downloader::Downloader(std::shared_ptr<DownloadableEntry> entry) : _entry(std::move(entry)) {}

Downloader::~Downloader() {
    invalidate();
}

std::string Downloader::status() {
    return "Downloading...";
}

void Downloader::invalidate() {
    if (_urlSession) {
        _urlSession->invalidateAndCancel();
    }
}

void Downloader::sendAction(std::int64_t code) const {
    if (_settings.sendAction) {
        _settings.sendAction(code);
    } else {
        StatisticsManager::shared().sendAction(code);
    }
}

void Downloader::execute() {
    platform::assertMainThread();
    _reported = false;
    _retries = 0;
    if (!_entry->destinationUrl || !_entry->sourceUrl) {
        finish(downloaderError(platform::format("Cannot download \"%@\"", _entry->name),
                               "The installer's configuration names no address or no destination for it."));
        return;
    }
    const fs::path& destination = *_entry->destinationUrl;
    // Anything else there (a folder, a pipe, a link, someone else's file) is no download of ours.
    if (platform::isOwnRegularFile(destination)) {
        Logger::shared().logInfo("%@ already downloaded to '%@'", _entry->name, fileUrl(destination));
        finish(std::nullopt);
        return;
    }
    platform::DownloadSession::Configuration configuration;
    configuration.identifier =
        platform::format("%@.downloading.%@", platform::Bundle::mainBundle().bundleIdentifier(), _entry->name);
    configuration.stallLimit = _settings.stallLimit;
    configuration.minimumRate = _settings.minimumRate;
    configuration.rateWindow = _settings.rateWindow;
    // The size measured before the download; 0 stands for a size that was not stated.
    configuration.expectedLength = _fileSize > 0 ? _fileSize : -1;
    _urlSession = platform::DownloadSession::create(configuration, this);
    // The session never answers once invalidated, and this downloader invalidates it before it goes.
    _urlSession->getTasks([this](const std::vector<std::shared_ptr<DownloadTask>>& tasks) { attach(tasks); });
    _startTime = std::chrono::steady_clock::now();
    sendAction(_entry->downloadStartStatus);
    Logger::shared().logInfo("%@ downloading started: %@", _entry->name, _entry->sourceUrl);
}

void Downloader::attach(const std::vector<std::shared_ptr<DownloadTask>>& tasks) {
    for (const auto& task : tasks) {
        Logger::shared().logInfo("state of download task = %@", stateName(task->state()));
    }
    if (tasks.empty()) {
        start(_urlSession->downloadTask(*_entry->sourceUrl));
        return;
    }
    // Nothing carries a transfer on outside the process: one an earlier run left is resumed here,
    // unless it fetched another address, which is dropped for a fresh start.
    const auto& adopted = tasks.front();
    if (adopted->originalUrl() != *_entry->sourceUrl) {
        adopted->cancel();
        start(_urlSession->downloadTask(*_entry->sourceUrl));
        return;
    }
    start(adopted);
}

void Downloader::start(std::shared_ptr<DownloadTask> task) {
    _task = std::move(task);
    _task->resume();
}

void Downloader::downloadTaskDidWriteData(DownloadTask& task, std::int64_t, std::int64_t totalBytesWritten,
                                          std::int64_t totalBytesExpectedToWrite) {
    if (&task != _task.get() || _reported) {
        return;
    }
    if (totalBytesExpectedToWrite > 0) {
        _fileSize = totalBytesExpectedToWrite;
    }
    auto* delegate = taskDelegate();
    if (delegate == nullptr) {
        return;
    }
    const double accumulated = delegate->taskDidUpdateProgress(this, static_cast<double>(totalBytesWritten));
    const auto done = static_cast<std::uint64_t>(accumulated);
    const std::string value = platform::format("(%@ / %@)", Formatters::stringFromBytes(static_cast<std::int64_t>(done)),
                                               Formatters::stringFromBytes(_totalDownloadSize));
    delegate->taskDidUpdateProgressLabelWithValue(this, "Downloading Game:", value);
}

void Downloader::downloadTaskDidResumeAtOffset(DownloadTask&, std::int64_t offset, std::int64_t expectedTotalBytes) {
    Logger::shared().logInfo("URLSession: didResumeAtOffset = %lld, expectedTotalBytes = %lld", offset,
                             expectedTotalBytes);
}

void Downloader::downloadTaskDidFinishDownloadingToUrl(DownloadTask& task, const fs::path& location) {
    if (&task != _task.get() || _reported) {
        return;
    }
    const double interval =
        -std::chrono::duration<double>(std::chrono::steady_clock::now() - _startTime).count();
    Logger::shared().logInfo("Downloading finished: %@, location: %@", task.originalUrl(), fileUrl(location));
    const fs::path& destination = *_entry->destinationUrl;
    std::optional<platform::Error> ignored;
    platform::removeFileOrLink(destination, ignored);  // a folder there makes the move fail
    if (const auto error = platform::moveItem(location, destination)) {
        Logger::shared().logError("Cannot move the downloaded file to '%@': %@", fileUrl(destination), *error);
        finish(downloaderError(
            platform::format("Cannot save \"%@\"", _entry->name),
            platform::format("The downloaded file could not be moved to %@: %@. Please check the free disk space "
                             "and run the installer again.",
                             destination, error->localizedDescription())));
        return;
    }
    Logger::shared().logInfo("Moved file to '%@'", fileUrl(destination));
    // A size the server never stated (-1) gives no bandwidth rather than a wrapped-around figure.
    if (std::fabs(interval) > 0.001 && _fileSize >= 0) {
        const auto bandwidth = static_cast<std::uint64_t>(static_cast<double>(_fileSize) / std::fabs(interval));
        platform::nsLog("FileSize=%ld, Time interval=%lf: BandWidth=%lu", _fileSize, interval, bandwidth);
        if (_settings.sendSystemInfo) {
            _settings.sendSystemInfo(bandwidth);
        } else {
            StatisticsManager::shared().sendSystemInfo(bandwidth);
        }
    }
    sendAction(_entry->downloadFinishStatus);
    finish(std::nullopt);
}

void Downloader::taskDidCompleteWithError(DownloadTask& task, const std::optional<platform::Error>& error,
                                          const std::optional<std::string>& resumeData) {
    if (!error) {
        return;
    }
    Logger::shared().logInfo("!!! Available downloading resume !!!\n %@", resumeData);
    // Only the transfer in hand is tried again: an adopted one that was dropped has been replaced.
    if (&task == _task.get() && !_reported) {
        retry(resumeData, *error);
    }
}

void Downloader::downloadSessionDidDiscardRecord(const std::string& reason) {
    Logger::shared().logWarn("Download record discarded: %@", reason);
}

// A failed transfer is tried again from its partial file after a growing pause; when the pauses
// are used up the step fails with an alert the user can act on, instead of waiting for ever.
void Downloader::retry(const std::optional<std::string>& resumeData, const platform::Error& error) {
    const std::string& source = *_entry->sourceUrl;
    if (_retries >= _settings.retryPauses.size()) {
        Logger::shared().logError("Downloading %@ failed: %@", source, error);
        // The transfer's own files failed (a full disk, a folder that cannot be written): the
        // network is not to blame.
        if (error.domain() == "NSPOSIXErrorDomain") {
            finish(downloaderError(
                platform::format("Cannot save \"%@\"", _entry->name),
                platform::format("The download could not be written to %@: %@. Please check that the disk has free "
                                 "space and can be written to, and run the installer again.",
                                 _urlSession->storageDirectory(), error.localizedDescription())));
            return;
        }
        finish(downloaderError(
            platform::format("Cannot download \"%@\"", _entry->name),
            platform::format("The download from %@ failed: %@. Please check your internet connection and run the "
                             "installer again.",
                             source, error.localizedDescription())));
        return;
    }
    const auto pause = _settings.retryPauses[_retries++];
    Logger::shared().logWarn("Downloading %@ failed: %@. Trying again in %lld ms (%lu of %lu)", source, error,
                             static_cast<long long>(pause.count()), _retries, _settings.retryPauses.size());
    std::weak_ptr<Task> weak = weak_from_this();
    platform::dispatch::afterMain(pause, [weak, resumeData] {
        const auto self = std::static_pointer_cast<Downloader>(weak.lock());
        if (!self || self->_reported) {
            return;
        }
        self->start(resumeData ? self->_urlSession->downloadTaskWithResumeData(*resumeData)
                               : self->_urlSession->downloadTask(*self->_entry->sourceUrl));
    });
}

void Downloader::finish(const std::optional<platform::Error>& error) {
    if (_reported) {
        return;
    }
    _reported = true;
    auto* delegate = taskDelegate();
    if (delegate == nullptr) {
        return;
    }
    if (error) {
        delegate->taskFinishedWithError(this, *error);
    } else {
        delegate->executionFinishedOfTask(this);
    }
}
