#include "MainTask.h"

#include "LaunchTask.h"
#include "LockFile.h"
#include "LockTask.h"
#include "Logger/Logger.h"
#include "PlatformInfo.h"
#include "RootTask.h"
#include "ScriptTask.h"
#include "StatisticsManager.h"
#include "UnlockTask.h"
#include "platform/Application.h"
#include "platform/Bundle.h"
#include "platform/Environment.h"
#include "platform/Format.h"
#include "platform/Http.h"
#include "platform/Paths.h"
#include "platform/RunLoop.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string_view>
#include <unistd.h>

using platform::json::Value;

namespace {

constexpr const char* kConfigsFile = "Configs/Configs.json";
constexpr double kSemaphoreWeight = 10000;
constexpr double kWaitForDownloadWeight = 10000;
constexpr double kComponentInstallWeight = 200000000;
constexpr double kApplicationCopyWeight = 10000000;
constexpr double kLaunchWeight = 800000000;

std::optional<std::string> stringMember(const std::optional<Value>& object, const char* key) {
    return object ? object->stringMember(key) : std::nullopt;
}

std::optional<Value> objectMember(const std::optional<Value>& object, const char* key) {
    return object ? object->objectMember(key) : std::nullopt;
}

std::string installedApplicationPath(const std::string& name) {
    return (platform::paths::homeDirectory() / "Applications/Ravelune" / platform::format("%@.app", name)).string();
}

// A shell step whose arguments are given at creation, so that they are quoted for the batch.
template <typename Step = BashTask>
std::shared_ptr<Step> batchStep(const std::string& name, double weight, const std::vector<std::string>& arguments) {
    auto step = std::make_shared<Step>("/bin/bash", arguments);
    step->setName(name);
    step->setEstimated(weight);
    return step;
}

// A script step whose arguments are set after creation, so that they go unquoted.
std::shared_ptr<ScriptTask> scriptStep(const std::string& name, double weight, const std::vector<std::string>& arguments) {
    auto step = std::make_shared<ScriptTask>("/bin/bash", std::vector<std::string>{});
    step->setName(name);
    step->setEstimated(weight);
    step->setArguments(arguments);
    return step;
}

}  // namespace

std::string MainTask::absolutePathForLocalPath(const std::string& localPath) {
    return DownloadableEntry::absolutePathForLocalPath(localPath);
}

std::optional<Value> MainTask::jsonDict() {
    const auto configs = platform::Bundle::mainBundle().resourcePath() / kConfigsFile;
    const auto url = stringMember(Value::parseFile(configs), "jsonUrl");
    if (!url) {
        Logger::shared().logError("No \"jsonUrl\" in %@", configs);
        return std::nullopt;
    }
    // Bounded, unlike the platform's plain load: a silent server must not hold the start for ever.
    platform::http::Request request;
    request.url = *url;
    request.connectTimeout = std::chrono::seconds(10);
    request.timeout = std::chrono::seconds(30);
    request.maxBodyBytes = 1024 * 1024;
    const platform::http::Response response = platform::http::sendSynchronousRequest(request);
    if (response.error || response.statusCode < 200 || response.statusCode > 299) {
        Logger::shared().logError("Cannot load the remote configuration %@: %@", *url,
                                  response.error ? response.error->localizedDescription()
                                                 : platform::format("HTTP status %ld", response.statusCode));
        return std::nullopt;
    }
    auto document = Value::parse(response.body);
    if (!document || !document->isObject()) {
        Logger::shared().logError("The remote configuration %@ is no JSON object", *url);
        return std::nullopt;
    }
    return document;
}

std::string MainTask::cleanedName(const std::string& name) {
    std::string cleaned;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (std::string_view(":/&?\\").find(static_cast<char>(c)) != std::string_view::npos || c < 0x20 || c == 0x7F) {
            continue;
        }
        // C1 controls (U+0080 to U+009F) and the Unicode line and paragraph separators.
        if (c == 0xC2 && i + 1 < name.size() && static_cast<unsigned char>(name[i + 1]) <= 0x9F) {
            ++i;
            continue;
        }
        if (c == 0xE2 && name.compare(i, 3, "\xE2\x80\xA8") == 0) {
            i += 2;
            continue;
        }
        if (c == 0xE2 && name.compare(i, 3, "\xE2\x80\xA9") == 0) {
            i += 2;
            continue;
        }
        cleaned += static_cast<char>(c);
    }
    return cleaned;
}

bool MainTask::otherInstallerHoldsLock(const std::string& lockFilePath) {
    if (lockFileCheck(lockFilePath.c_str(), nullptr) != kLockFileHeld) {
        return false;
    }
    // The record starts with its holder's process id; this process's own record does not count.
    long holder = 0;
    std::ifstream(lockFilePath) >> holder;
    return holder != static_cast<long>(getpid());
}

void MainTask::failBeforeStart() {
    Logger::shared().logError("The remote configuration names no application or no shortcut; nothing is installed.");
    const platform::Error error(
        "LaunchTask", -1,
        {.localizedDescription = "The installer could not read its configuration from the server",
         .localizedFailureReason = std::nullopt,
         .localizedRecoverySuggestion = "Please, check your internet connection and run the installer again.",
         .underlyingError = std::nullopt});
    if (TaskDelegate* observer = taskDelegate()) {
        observer->taskFinishedWithError(this, error);
    }
}

void MainTask::execute() {
    if (buildPipeline()) {
        TaskSequence::execute();
    }
}

bool MainTask::buildPipeline() {
    platform::assertMainThread();
    // One document serves all four values.
    const std::optional<Value> document = jsonDict();
    const std::optional<std::string> referrer = stringMember(document, "ReferrerUrl");
    _publisher = stringMember(document, "Publisher").value_or("");

    const std::string version = PlatformInfo::appVersion();

    StatisticsManager& statistics = StatisticsManager::shared();
    statistics.setReferrerUrl(referrer.value_or(""));
    statistics.sendAction(22);
    statistics.sendSystemInfo(0);

    const std::string appName = cleanedName(stringMember(document, "AppName").value_or(""));
    const std::string caption = cleanedName(stringMember(objectMember(document, "UrlShortcut"), "Caption").value_or(""));
    if (appName.empty() || caption.empty()) {
        failBeforeStart();
        return false;
    }

    _lockTask = std::make_shared<LockTask>(_lockFilePath);
    addTask(_lockTask);

    // Parsing the components deletes what an earlier run left at their destinations: never while
    // another installation runs, whose download that may be. Its lock fails the first step anyway.
    std::vector<std::shared_ptr<DownloadableEntry>> needed;
    if (otherInstallerHoldsLock(_lockFilePath)) {
        Logger::shared().logWarn("Another installer holds %@; the components are left as they are.", _lockFilePath);
    } else {
        for (auto& entry : DownloadableEntry::entriesFromFile(kConfigsFile)) {
            if (!entry->checkExistance()) {
                needed.push_back(entry);
            }
        }
    }
    std::vector<std::string> urls;
    for (const auto& entry : needed) {
        urls.push_back(entry->sourceUrl.value_or(""));
    }

    _fileSizeFetcher = std::make_shared<FileSizeFetcher>(urls);
    _fileSizeFetcher->setDelegate(this);
    addTask(_fileSizeFetcher);

    auto batch = std::make_shared<RootTask>();
    batch->setBackgroundProcess(true);
    batch->setEndHandler([weakSelf = weak_from_this()] {
        if (auto self = std::static_pointer_cast<MainTask>(weakSelf.lock())) {
            self->batchEnded();
        }
    });
    addTask(batch);

    _downloaders.clear();
    for (const auto& entry : needed) {
        auto downloader = std::make_shared<Downloader>(entry);
        _downloaders.push_back(downloader);
        addTask(downloader);
    }
    _semaphoreStep = scriptStep("Create Semaphore", kSemaphoreWeight,
                                {absolutePathForLocalPath("../Scripts/create_semaphore.sh"), "SUCCESS", version});
    addTask(_semaphoreStep);

    const std::string user = platform::userName();
    const std::string marker = (platform::paths::applicationSupportDirectory() / "installer.wait").string();
    const std::string progressFile = (platform::paths::logsDirectory() / "progress_catcher.log").string();
    const std::string resources = platform::Bundle::mainBundle().resourcePath().string();

    batch->addBashTask(batchStep("Checking if KEXT installation is possible", 0,
                                 {absolutePathForLocalPath("../SkelCheck/skel_checker.sh")}));
    batch->addBashTask(batchStep<ScriptTask>(
        "Waiting when download finished", kWaitForDownloadWeight,
        {absolutePathForLocalPath("../Scripts/wait_for_download.sh"), user, version, marker, progressFile}));
    for (const auto& entry : needed) {
        batch->addBashTask(batchStep(entry->name, kComponentInstallWeight,
                                     {entry->installerPath().value_or(""),
                                      entry->destinationUrl.value_or(std::filesystem::path()).string(), user, version,
                                      marker, progressFile}));
    }
    batch->addBashTask(batchStep("Copying app and changing attributes", kApplicationCopyWeight,
                                 {absolutePathForLocalPath("../Scripts/prepare_app.sh"),
                                  platform::format("%@/Runner.app/.", resources), installedApplicationPath(appName), user,
                                  version, progressFile}));
    batch->addBashTask(batchStep("Create URL shortcut App", kApplicationCopyWeight,
                                 {absolutePathForLocalPath("../Scripts/prepare_app.sh"),
                                  platform::format("%@/UrlShortcutApplication.app/.", resources),
                                  installedApplicationPath(caption), user, version, progressFile}));

    auto registerDisk = scriptStep("Register user's vdi", batch->totalProgress(),
                                   {"/Library/Ravelune/install_user.sh", version, progressFile});
    registerDisk->setWaitForBackgroundProcess(true);
    addTask(registerDisk);

    auto unlock = std::make_shared<UnlockTask>(_lockFilePath);
    unlock->setWaitForBackgroundProcess(true);
    addTask(unlock);

    auto launch = std::make_shared<LaunchTask>(appName);
    launch->setWaitForBackgroundProcess(true);
    launch->setEstimated(kLaunchWeight);
    addTask(launch);
    return true;
}

void MainTask::executionFinishedOfTask(Task* task) {
    if (task != nullptr && task == _lockTask.get()) {
        _tookLock = true;
        // A marker left by a killed earlier run would let the batch go on before this run's
        // downloads exist.
        terminateRootTask();
    }
    TaskSequence::executionFinishedOfTask(task);
    holdEndingWhileTheBatchMayInstall();
    if (_endingHeld && _endRequested) {
        // The next step's status would hide the notice.
        showCannotStopNow();
    }
}

void MainTask::taskFinishedWithError(Task* task, const platform::Error& error) {
    if (task != nullptr && task == _semaphoreStep.get()) {
        // No marker of this run: its batch fails once the installer has gone, so nothing holds the ending.
        releaseEnding();
        if (platform::Application::isTerminating()) {
            return;
        }
    }
    TaskSequence::taskFinishedWithError(task, error);
}

void MainTask::holdEndingWhileTheBatchMayInstall() {
    // "Create Semaphore" writes this run's marker, after which the batch may pass its wait step at
    // any moment; a batch that has passed it cannot be stopped, and the installer that started it
    // stays (with the lock) until it ends.
    if (_endingHeld || _batchEnded || !currentTask || currentTask != _semaphoreStep) {
        return;
    }
    _endingHeld = true;
    platform::Application::holdTermination([weakSelf = weak_from_this()] {
        Logger::shared().logInfo("%@", kCannotStopNowText);
        if (auto self = std::static_pointer_cast<MainTask>(weakSelf.lock())) {
            self->_endRequested = true;
            self->showCannotStopNow();
        }
    });
}

void MainTask::showCannotStopNow() {
    if (TaskDelegate* observer = taskDelegate()) {
        observer->taskDidStartWithStatus(currentTask.get(), kCannotStopNowText);
    }
}

void MainTask::releaseEnding() {
    if (_endingHeld) {
        _endingHeld = false;
        platform::Application::releaseTermination();
    }
}

void MainTask::batchEnded() {
    platform::assertMainThread();
    _batchEnded = true;
    // An ending asked for meanwhile happens now; the batch's report then reaches nobody.
    releaseEnding();
}

void MainTask::invalidate() {
    TaskSequence::invalidate();
    if (!isFinished()) {
        StatisticsManager::shared().sendAction(36);
    }
}

void MainTask::fileSizeFetcherDidCalculateFileSizesForUrls(FileSizeFetcher*, const std::vector<std::int64_t>& sizes,
                                                           const std::vector<std::string>&) {
    platform::assertMainThread();
    // One size per downloader is expected; a list of another length is used as far as both go.
    const std::size_t count = std::min(sizes.size(), _downloaders.size());
    if (sizes.size() != _downloaders.size()) {
        Logger::shared().logError("Got %lu sizes for %lu downloads; using the first %lu.", sizes.size(),
                                  _downloaders.size(), count);
    }
    std::int64_t total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        // An unknown size (-1) weighs nothing until the transfer learns it.
        const std::int64_t size = std::max<std::int64_t>(sizes[i], 0);
        _downloaders[i]->setFileSize(size);
        total += size;
    }
    for (std::size_t i = 0; i < count; ++i) {
        _downloaders[i]->setTotalDownloadSize(total);
    }
    if (!sizes.empty()) {
        StatisticsManager::shared().sendAction(3);
    }
    if (_delegate != nullptr) {
        _delegate->mainTaskDidFetchDownloadingSize(this, total);
    }
    recalculateTotalProgress();
}
