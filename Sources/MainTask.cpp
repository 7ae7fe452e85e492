#include "MainTask.h"

#include "LaunchTask.h"
#include "LockFile.h"
#include "LockFileStep.h"
#include "LockTask.h"
#include "Logger/Logger.h"
#include "PlatformInfo.h"
#include "RootTask.h"
#include "ScriptTask.h"
#include "StatisticsManager.h"
#include "UnlockTask.h"
#include "platform/Application.h"
#include "platform/Bundle.h"
#include "platform/Dispatch.h"
#include "platform/Environment.h"
#include "platform/Format.h"
#include "platform/Http.h"
#include "platform/Paths.h"
#include "platform/RunLoop.h"
#include "platform/Utf8.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <span>
#include <string_view>
#include <utility>
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

MainTask::RemoteDocument MainTask::jsonDict(const std::filesystem::path& configsFile) {
    const auto url = stringMember(Value::parseFile(configsFile), "jsonUrl");
    if (!url) {
        return {std::nullopt, platform::format("No \"jsonUrl\" in %@", configsFile)};
    }
    // Bounded, unlike the platform's plain load: a silent server must not hold the start for ever.
    platform::http::Request request;
    request.url = *url;
    request.connectTimeout = std::chrono::seconds(10);
    request.timeout = std::chrono::seconds(30);
    request.maxBodyBytes = 1024 * 1024;
    const platform::http::Response response = platform::http::sendSynchronousRequest(request);
    if (response.error || response.statusCode < 200 || response.statusCode > 299) {
        return {std::nullopt, platform::format("Cannot load the remote configuration %@: %@", *url,
                                               response.error ? response.error->localizedDescription()
                                                              : platform::format("HTTP status %ld", response.statusCode))};
    }
    auto document = Value::parse(response.body);
    if (!document || !document->isObject()) {
        return {std::nullopt, platform::format("The remote configuration %@ is no JSON object", *url)};
    }
    return {std::move(document), std::string()};
}

namespace {

// The code point of the well-formed UTF-8 sequence at the start of `bytes` and its length, or a
// length of 0 when none starts there.
std::pair<char32_t, std::size_t> decodedCharacter(std::string_view bytes) {
    const auto lead = static_cast<unsigned char>(bytes[0]);
    if (lead < 0x80) {
        return {lead, 1};
    }
    const std::size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                               : lead >= 0xF0 && lead <= 0xF4                   ? 4
                                                                                : 0;
    if (length == 0 || length > bytes.size() || !platform::utf8::isValid(bytes.substr(0, length))) {
        return {0, 0};
    }
    char32_t code = length == 1 ? lead : lead & (0xFF >> (length + 1));
    for (std::size_t k = 1; k < length; ++k) {
        code = (code << 6) | (static_cast<unsigned char>(bytes[k]) & 0x3F);
    }
    return {code, length};
}

struct Range {
    char32_t first, last;
};

// Whether the code point lies in one of the sorted, disjoint ranges.
bool inRanges(std::span<const Range> ranges, char32_t c) {
    const auto range = std::ranges::lower_bound(ranges, c, std::less{}, &Range::last);
    return range != ranges.end() && range->first <= c;
}

// Control characters, the line and paragraph separators, and the invisible format characters
// (Unicode's category Cf).
constexpr Range kControlAndFormat[] = {
    {0x00, 0x1F},       {0x7F, 0x9F},       {0xAD, 0xAD},       {0x600, 0x605},     {0x61C, 0x61C},
    {0x6DD, 0x6DD},     {0x70F, 0x70F},     {0x890, 0x891},     {0x8E2, 0x8E2},     {0x180E, 0x180E},
    {0x200B, 0x200F},   {0x2028, 0x202E},   {0x2060, 0x2064},   {0x2066, 0x206F},   {0xFEFF, 0xFEFF},
    {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3},
    {0x1D173, 0x1D17A}, {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
};

// The code points that a renderer shows as nothing: the property Default_Ignorable_Code_Point of
// Unicode 15.0.0 (DerivedCoreProperties.txt), adjacent ranges joined. Among them the Hangul
// fillers, the combining grapheme joiner, the variation selectors and the tags.
constexpr Range kDefaultIgnorable[] = {
    {0x00AD, 0x00AD}, {0x034F, 0x034F}, {0x061C, 0x061C},   {0x115F, 0x1160},   {0x17B4, 0x17B5},   {0x180B, 0x180F},
    {0x200B, 0x200F}, {0x202A, 0x202E}, {0x2060, 0x206F},   {0x3164, 0x3164},   {0xFE00, 0xFE0F},   {0xFEFF, 0xFEFF},
    {0xFFA0, 0xFFA0}, {0xFFF0, 0xFFF8}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0000, 0xE0FFF},
};

// Characters that take room but show no mark: white space (the property White_Space of Unicode
// 15.0.0, PropList.txt: space, no-break space, Ogham space mark, the spaces U+2000 to U+200A, the
// narrow no-break, medium mathematical and ideographic spaces; its controls and separators are
// removed by cleaning anyway) and the Braille pattern blank U+2800. The Hangul fillers, which look
// as blank, are default-ignorable and removed.
constexpr Range kBlank[] = {
    {0x20, 0x20},     {0xA0, 0xA0},     {0x1680, 0x1680}, {0x2000, 0x200A},
    {0x202F, 0x202F}, {0x205F, 0x205F}, {0x2800, 0x2800}, {0x3000, 0x3000},
};

bool isJoiner(char32_t c) {
    return c == 0x200C || c == 0x200D;
}

// What cleaning removes wherever it stands (the joiners have their own rule).
bool isHiddenCharacter(char32_t c) {
    return inRanges(kControlAndFormat, c) || inRanges(kDefaultIgnorable, c);
}

// Whether a character shows nothing: hidden (the joiners too) or blank.
bool isInvisible(char32_t c) {
    return isHiddenCharacter(c) || inRanges(kBlank, c);
}

// A letter, as far as the joiners are concerned: any visible character outside ASCII. That covers
// the Arabic, Persian and Indic letters and vowel signs whose spelling needs a joiner or
// non-joiner, and emoji, which ZWJ sequences join; it leaves out ASCII, where a joiner only makes
// one name look like another, and blanks, where it would stand alone.
bool isJoinableLetter(std::pair<char32_t, std::size_t> decoded) {
    return decoded.second != 0 && decoded.first >= 0x80 && !isInvisible(decoded.first);
}

}  // namespace

std::string MainTask::cleanedText(const std::string& text) {
    std::string cleaned;
    const std::string_view bytes(text);
    bool afterLetter = false;  // whether the last character kept is a letter
    // Beyond a joiner: where the next character that stays begins, and whether it is a letter. One
    // look serves every joiner up to there, so a run of joiners costs no more than its length.
    std::size_t lookedUpTo = 0;
    bool beforeLetter = false;
    for (std::size_t i = 0; i < bytes.size();) {
        const auto decoded = decodedCharacter(bytes.substr(i));
        const auto [code, length] = decoded;
        // A byte that starts no character is kept as it was: only what is known to hide goes.
        const std::size_t taken = length == 0 ? 1 : length;
        bool keep = length == 0 || !isHiddenCharacter(code);
        if (length != 0 && isJoiner(code)) {
            if (i >= lookedUpTo) {
                std::size_t next = i + length;
                std::pair<char32_t, std::size_t> following{0, 0};
                while (next < bytes.size()) {
                    following = decodedCharacter(bytes.substr(next));
                    if (following.second == 0 || !isHiddenCharacter(following.first)) {
                        break;
                    }
                    next += following.second;
                }
                lookedUpTo = next;
                beforeLetter = next < bytes.size() && isJoinableLetter(following);
            }
            // Kept only between letters, where spelling needs it.
            keep = afterLetter && beforeLetter;
        }
        if (keep) {
            cleaned.append(bytes.substr(i, taken));
            afterLetter = isJoinableLetter(decoded);
        }
        i += taken;
    }
    return cleaned;
}

std::string MainTask::cleanedName(const std::string& name) {
    std::string cleaned = cleanedText(name);
    std::erase_if(cleaned, [](char c) { return std::string_view(":/&?\\").find(c) != std::string_view::npos; });
    return cleaned;
}

bool MainTask::isUsableName(const std::string& name) {
    constexpr std::size_t kFileNameLimit = 255;
    // Its first visible character; a byte that starts no character counts as one.
    std::string_view visible(name);
    while (!visible.empty()) {
        const auto [code, length] = decodedCharacter(visible);
        if (length == 0 || !isInvisible(code)) {
            break;
        }
        visible.remove_prefix(length);
    }
    // Nothing visible names nothing one could find; a "." first would hide the bundle, or read as
    // hidden behind blanks, and "." and ".." name no file of its own.
    return !visible.empty() && visible.front() != '.' && name.size() + std::strlen(".app") <= kFileNameLimit;
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
    platform::assertMainThread();
    buildPipeline([this](bool built) {
        if (built) {
            TaskSequence::execute();
        }
    });
}

template <typename Result>
void MainTask::offMainThread(std::function<Result()> work, std::function<void(MainTask&, Result)> then) {
    std::weak_ptr<MainTask> weakSelf = std::static_pointer_cast<MainTask>(shared_from_this());
    platform::dispatch::asyncGlobal([weakSelf, work = std::move(work), then = std::move(then)] {
        platform::dispatch::asyncMain([weakSelf, then, result = work()] {
            // Nobody waits for a late answer: the window closed meanwhile ends the run at once.
            const auto self = weakSelf.lock();
            if (self && !platform::Application::isTerminating()) {
                then(*self, result);
            }
        });
    });
}

// Four stages, each on the main thread: the remote document (fetched on a worker), the values
// and statistics it gives, the components the checkers find missing (checked on a worker), and
// the steps.
void MainTask::buildPipeline(BuiltHandler built) {
    platform::assertMainThread();
    const std::filesystem::path configs = platform::Bundle::mainBundle().resourcePath() / kConfigsFile;
    offMainThread<RemoteDocument>([configs] { return jsonDict(configs); },
                                  [built = std::move(built)](MainTask& self, const RemoteDocument& remote) {
                                      self.takeRemoteDocument(remote, built);
                                  });
}

void MainTask::takeRemoteDocument(const RemoteDocument& remote, const BuiltHandler& built) {
    platform::assertMainThread();
    if (!remote.failure.empty()) {
        Logger::shared().logError("%@", remote.failure);
    }
    // One document serves all four values.
    const std::optional<Value>& document = remote.document;
    _publisher = cleanedText(stringMember(document, "Publisher").value_or(""));
    sendStartStatistics(stringMember(document, "ReferrerUrl"));

    const Names names{cleanedName(stringMember(document, "AppName").value_or("")),
                      cleanedName(stringMember(objectMember(document, "UrlShortcut"), "Caption").value_or(""))};
    if (!isUsableName(names.appName) || !isUsableName(names.caption)) {
        failBeforeStart();
        built(false);
        return;
    }
    _lockTask = std::make_shared<LockTask>(_lockFilePath);
    addTask(_lockTask);
    findNeededComponents([this, names, built](const std::vector<std::shared_ptr<DownloadableEntry>>& needed) {
        addSteps(needed, names);
        built(true);
    });
}

void MainTask::sendStartStatistics(const std::optional<std::string>& referrer) {
    StatisticsManager& statistics = StatisticsManager::shared();
    statistics.setReferrerUrl(referrer.value_or(""));
    statistics.sendAction(22);
    statistics.sendSystemInfo(0);
}

void MainTask::findNeededComponents(std::function<void(std::vector<std::shared_ptr<DownloadableEntry>>)> found) {
    // Judged once what holds the lock only for a moment has let go: a batch left by an installer
    // that has ended gives up in its wait step within about a second, and would otherwise make
    // this run skip every component.
    const std::string path = _lockFilePath;
    std::weak_ptr<MainTask> weakSelf = std::static_pointer_cast<MainTask>(shared_from_this());
    runLockFileOperation(
        path, [path](LockFileAttempt& attempt) { return lockFileCheckExplained(path.c_str(), nullptr, attempt); },
        [weakSelf, found = std::move(found)](int, const LockFileAttempt&) {
            const auto self = weakSelf.lock();
            if (self && !platform::Application::isTerminating()) {
                self->findNeededComponentsOnceJudged(found);
            }
        });
}

void MainTask::findNeededComponentsOnceJudged(
    const std::function<void(std::vector<std::shared_ptr<DownloadableEntry>>)>& found) {
    // Parsing the components deletes what an earlier run left at their destinations: never while
    // another installation runs, whose download that may be. Its lock fails the first step anyway.
    if (otherInstallerHoldsLock(_lockFilePath)) {
        Logger::shared().logWarn("Another installer holds %@; the components are left as they are.", _lockFilePath);
        // Without them this run must not go on should the holder let go a moment later.
        _lockTask->setWaitsForABatchAlone(false);
        found({});
        return;
    }
    const auto entries = DownloadableEntry::entriesFromFile(kConfigsFile);
    std::vector<std::optional<std::string>> checkers;
    for (const auto& entry : entries) {
        checkers.push_back(entry->absoluteCheckerPath());
    }
    // One after another, in configuration order, as a login shell each: seconds on a slow profile.
    using Outputs = std::vector<std::string>;
    offMainThread<Outputs>(
        [checkers] {
            Outputs outputs;
            for (const auto& checker : checkers) {
                outputs.push_back(DownloadableEntry::runChecker(checker));
            }
            return outputs;
        },
        [entries, found](MainTask&, const Outputs& outputs) {
            std::vector<std::shared_ptr<DownloadableEntry>> needed;
            for (std::size_t i = 0; i < entries.size(); ++i) {
                if (!entries[i]->isUpToDate(outputs[i])) {
                    needed.push_back(entries[i]);
                }
            }
            found(needed);
        });
}

void MainTask::addSteps(const std::vector<std::shared_ptr<DownloadableEntry>>& needed, const Names& names) {
    std::vector<std::string> urls;
    for (const auto& entry : needed) {
        urls.push_back(entry->sourceUrl.value_or(""));
    }
    _fileSizeFetcher = std::make_shared<FileSizeFetcher>(urls);
    _fileSizeFetcher->setDelegate(this);
    addTask(_fileSizeFetcher);

    auto batch = std::make_shared<RootTask>();
    batch->setBackgroundProcess(true);
    batch->setLockFilePath(_lockFilePath);
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
    const std::string version = PlatformInfo::appVersion();
    _semaphoreStep = scriptStep("Create Semaphore", kSemaphoreWeight,
                                {absolutePathForLocalPath("../Scripts/create_semaphore.sh"), "SUCCESS", version});
    addTask(_semaphoreStep);

    addBatchSteps(*batch, needed, names, version);
    addClosingSteps(batch->totalProgress(), names.appName, version);
}

void MainTask::addBatchSteps(RootTask& batch, const std::vector<std::shared_ptr<DownloadableEntry>>& needed,
                             const Names& names, const std::string& version) {
    const std::string user = platform::userName();
    const std::string marker = (platform::paths::applicationSupportDirectory() / "installer.wait").string();
    const std::string progressFile = RootTask::progressCatcherPath().string();
    const std::string resources = platform::Bundle::mainBundle().resourcePath().string();

    batch.addBashTask(batchStep("Checking if KEXT installation is possible", 0,
                                {absolutePathForLocalPath("../SkelCheck/skel_checker.sh")}));
    batch.addBashTask(batchStep<ScriptTask>(
        "Waiting when download finished", kWaitForDownloadWeight,
        {absolutePathForLocalPath("../Scripts/wait_for_download.sh"), user, version, marker, progressFile}));
    for (const auto& entry : needed) {
        batch.addBashTask(batchStep(entry->name, kComponentInstallWeight,
                                    {entry->installerPath().value_or(""),
                                     entry->destinationUrl.value_or(std::filesystem::path()).string(), user, version,
                                     marker, progressFile}));
    }
    batch.addBashTask(batchStep("Copying app and changing attributes", kApplicationCopyWeight,
                                {absolutePathForLocalPath("../Scripts/prepare_app.sh"),
                                 platform::format("%@/Runner.app/.", resources), installedApplicationPath(names.appName),
                                 user, version, progressFile}));
    batch.addBashTask(batchStep("Create URL shortcut App", kApplicationCopyWeight,
                                {absolutePathForLocalPath("../Scripts/prepare_app.sh"),
                                 platform::format("%@/UrlShortcutApplication.app/.", resources),
                                 installedApplicationPath(names.caption), user, version, progressFile}));
}

// The steps that wait for the batch: registering the disk (its slot filled by the batch's
// progress), unlocking, launching.
void MainTask::addClosingSteps(double batchWeight, const std::string& appName, const std::string& version) {
    auto registerDisk = scriptStep("Register user's vdi", batchWeight,
                                   {"/Library/Ravelune/install_user.sh", version, RootTask::progressCatcherPath().string()});
    registerDisk->setWaitForBackgroundProcess(true);
    addTask(registerDisk);

    _unlockTask = std::make_shared<UnlockTask>(_lockFilePath);
    _unlockTask->setWaitForBackgroundProcess(true);
    addTask(_unlockTask);

    auto launch = std::make_shared<LaunchTask>(appName);
    launch->setWaitForBackgroundProcess(true);
    launch->setEstimated(kLaunchWeight);
    addTask(launch);
}

void MainTask::executionFinishedOfTask(Task* task) {
    if (task != nullptr && task == _lockTask.get()) {
        _holdsLock = true;
        // A marker left by a killed earlier run would let the batch go on before this run's
        // downloads exist. Every run removes its own before it gives the lock back, so what is
        // found now is nobody's.
        terminateRootTask();
    }
    if (task != nullptr && task == _unlockTask.get()) {
        _holdsLock = false;
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
    // Nobody waits for this run's marker any more. It goes now, while this run still holds the
    // lock: once the lock is given back, the next run of this user may write its own there.
    terminateRootTask();
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
    bool unknown = false;
    for (std::size_t i = 0; i < count; ++i) {
        // An unknown size (-1) weighs nothing until the transfer learns it; the total is then unknown.
        unknown = unknown || sizes[i] < 0;
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
        _delegate->mainTaskDidFetchDownloadingSize(this, unknown ? -1 : total);
    }
    recalculateTotalProgress();
}
