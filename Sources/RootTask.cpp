#include "RootTask.h"

#include "FailureReport.h"
#include "Logger/Logger.h"
#include "ShellText.h"
#include "StepEnd.h"
#include "StatisticsManager.h"
#include "TaskDelegate.h"
#include "platform/Application.h"
#include "platform/Dispatch.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/RunLoop.h"
#include "platform/Utf8.h"

#include <fcntl.h>
#include <filesystem>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace {

constexpr long kextApprovalStatus = 27;
constexpr long silentEndStatus = 33;

const char* const kextApprovalAdvice =
    "A program tried to load new system extensions signed by \"Oracle America, Inc\". If you want to enable these "
    "extensions, go to System Preferences -> Security & Privacy pane -> General -> Allow, and then run game "
    "installer again.";

// An unfinished line longer than this is not a progress line: it is taken as it is.
constexpr std::size_t longestProgressLine = 64 * 1024;

std::filesystem::path progressLogPath() {
    return platform::paths::logsDirectory() / "progress.log";
}

// Makes an empty file where none is; whatever is there already (a file, a link) stays untouched.
void createIfMissing(const std::filesystem::path& path) {
    std::error_code ignored;
    std::filesystem::create_directories(path.parent_path(), ignored);
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (descriptor >= 0) {
        ::close(descriptor);
    }
}

}  // namespace

std::filesystem::path RootTask::progressCatcherPath() {
    return platform::paths::logsDirectory() / "progress_catcher.log";
}

namespace {

// The progress file, opened from its start; made empty first when it is missing. Only a regular
// file is followed: a FIFO or a device would block or flood the main thread.
std::shared_ptr<platform::FileHandle> openProgressFile() {
    const std::filesystem::path path = RootTask::progressCatcherPath();
    createIfMissing(path);
    auto handle = platform::FileHandle::fileHandleForReadingAtPath(path);
    return handle && handle->isRegularFile() ? handle : nullptr;
}

}  // namespace

RootTask::RootTask()
    : _sendAction([](std::int64_t code) { StatisticsManager::shared().sendAction(code); }), _user{::getuid(), ::getgid()} {}

double RootTask::totalProgress() {
    platform::assertMainThread();
    if (_estimatedTotal != 0) {
        return _estimatedTotal;
    }
    for (const auto& task : tasks) {
        _estimatedTotal += task->totalProgress();
    }
    return _estimatedTotal;
}

std::string RootTask::scriptSource() const {
    if (tasks.empty()) {
        return R"(do shell script "" with administrator privileges)";
    }
    // The log lies in the user's folder and the batch runs as root: the announcement is appended
    // with the user's rights alone, so a link planted anywhere on its path leads nowhere the user
    // could not write; never through a link at the log itself, nor into a FIFO (that would hold
    // the batch). The name goes as it is: printf, not echo, which reads backslashes.
    const std::string append = "dd of=" + ShellText::doubleQuoted(progressLogPath().string()) +
                               " oflag=append,nofollow,nonblock conv=notrunc status=none";
    const std::string uid = std::to_string(_user.uid);
    std::string text = "announce() { printf '%s\\n' \"$1\" | if [ \"$(id -u)\" = " + uid + " ]; then " + append +
                       "; else setpriv --reuid=" + uid + " --regid=" + std::to_string(_user.gid) +
                       " --clear-groups -- " + append + "; fi 2>/dev/null; }; ";
    for (std::size_t index = 0; index < tasks.size(); ++index) {
        const BashTask& task = *tasks[index];
        const std::string number = std::to_string(index);
        text += "(announce " + ShellText::doubleQuoted(number + ": " + task.name()) + "; ";
        std::string arguments;
        for (const auto& argument : task.arguments()) {
            arguments += (arguments.empty() ? "" : " ") + ShellText::storedArgument(argument);
        }
        text += ShellText::word(task.path()) + " " + arguments + " " + ShellText::doubleQuoted(number);
        text += index + 1 < tasks.size() ? ") && " : "); ";
    }
    return "do shell script \"" + platform::AppleScript::escapeString(text) + "\" with administrator privileges";
}

void RootTask::execute() {
    platform::assertMainThread();
    std::string source;
    try {
        // The announcements' file is made as the user before the batch appends to it.
        createIfMissing(progressLogPath());
        _progressFile = openProgressFile();
        if (_progressFile) {
            std::weak_ptr<Task> weakSelf = weak_from_this();
            _progressFile->addDataAvailableObserver([weakSelf](platform::FileHandle& handle) {
                if (auto self = std::static_pointer_cast<RootTask>(weakSelf.lock())) {
                    self->getTaskProggress(handle);
                }
            });
            _progressFile->waitForDataInBackgroundAndNotify();
        } else {
            Logger::shared().logWarn("Cannot open %@ as a regular file: the batch runs without progress.",
                                     progressCatcherPath());
        }
        source = scriptSource();
        Logger::shared().logDebug("script = %@", source);
        platform::AppleScript script(source);
        script.setHeldFile(_lockFilePath);
        if (auto* delegate = taskDelegate()) {
            delegate->taskDidUpdateProgressLabelWithValue(this, "Installing components. It can take few minutes.", "");
        }
        auto self = std::static_pointer_cast<RootTask>(shared_from_this());
        platform::dispatch::asyncGlobal([self, script] { self->run(script); });
    } catch (const std::exception& exception) {
        // No worker (or no file watcher) could be started: the batch never ran, and ends as a
        // batch that failed.
        platform::AppleScript::ErrorInfo info;
        info.message = platform::format("Cannot start the batch: %@", platform::Exception::from(exception).reason());
        end(std::nullopt, info, source);
    }
}

void RootTask::run(const platform::AppleScript& script) {
    platform::AppleScript::ErrorInfo info;
    const auto output = script.executeAndReturnError(info);
    end(output, info, script.source());
}

void RootTask::end(const std::optional<std::string>& output, const platform::AppleScript::ErrorInfo& info,
                   const std::string& source) {
    auto self = std::static_pointer_cast<RootTask>(shared_from_this());
    // The end reaching the main thread may start the final flush of the statistics: a failure's
    // action is queued before.
    if (!output && info.number != silentEndStatus) {
        _sendAction(info.number == platform::AppleScript::userCanceled ? 36 : 21);
    }
    if (_onEnd) {
        platform::dispatch::asyncMain([self] { self->_onEnd(); });
    }
    if (output) {
        Logger::shared().logDebug("RootTask output = %@", *output);
        platform::dispatch::asyncMain([self] { reportStepEnd(self.get(), std::nullopt); });
        return;
    }
    if (info.number == silentEndStatus) {
        // The scripts ask for a quiet end: no alert and no statistics, but the installer must
        // not wait for ever for a report that never comes.
        Logger::shared().logWarn("The administrator batch ended with status 33: the installer quits without a report.");
        platform::Application::terminate(2);
        return;
    }
    const platform::Error error = failureFor(info);
    platform::dispatch::asyncMain([self, error] { reportStepEnd(self.get(), error); });
    if (info.range) {
        const auto [first, last] = *info.range;
        Logger::shared().logError("Wrong identifier = %@", source.substr(first, last - first));
    }
}

platform::Error RootTask::failureFor(const platform::AppleScript::ErrorInfo& info) const {
    platform::Error::Info texts;
    texts.underlyingError = "Script error";
    if (info.number == kextApprovalStatus) {
        texts.localizedDescription = "User approval for game installation required";
        texts.localizedRecoverySuggestion = kextApprovalAdvice;
    } else if (info.number == platform::AppleScript::userCanceled) {
        texts.localizedDescription = "The administrator privileges are required to install all components";
        texts.localizedRecoverySuggestion = "Please, relaunch the installer and enter your password";
    } else {
        // Without a message the advice stays empty; the title is the same report request.
        texts.localizedDescription = FailureReport::title("Installation of base component failed.");
        texts.localizedRecoverySuggestion = "";
        if (info.message) {
            Logger::shared().logError("errorDescription = %@", *info.message);
            texts.localizedRecoverySuggestion = platform::format(
                "Please, report issue to developers with attached log file '%@' and attach screenshot of this dialog box.",
                platform::paths::logsDirectory() / "installer.log");
        }
    }
    return platform::Error("RootTask", -1, texts);
}

void RootTask::getTaskProggress(platform::FileHandle& handle) {
    platform::assertMainThread();
    handle.waitForDataInBackgroundAndNotify();
    std::string data;
    try {
        data = handle.availableData();
    } catch (const std::system_error& error) {
        Logger::shared().logWarn("Cannot read %@ (%@): the batch runs on without progress.", progressCatcherPath(),
                                 error.what());
        handle.closeFile();
        return;
    }
    if (data.empty()) {
        return;
    }
    // A read that stopped before the end of the file may end inside a line: that line waits for
    // its rest, so that every read begins where a write began.
    data.insert(0, std::exchange(_unfinishedProgress, {}));
    if (!handle.atEndOfFile()) {
        const std::size_t lineEnd = data.rfind('\n');
        if (lineEnd != std::string::npos) {
            _unfinishedProgress = data.substr(lineEnd + 1);
            data.resize(lineEnd + 1);
        } else if (data.size() < longestProgressLine) {
            _unfinishedProgress = std::move(data);
            return;
        }
    }
    // A script reports "<index digit><separator><three characters of percentage>" in one write;
    // anything else cannot be placed and is dropped.
    if (!platform::utf8::isValid(data) || platform::utf8::offsetOfCharacter(data, 4) >= data.size()) {
        Logger::shared().logDebug("Progress data ignored: %@", data);
        return;
    }
    const long long step = platform::utf8::integerValue(platform::utf8::characters(data, 0, 1));
    const long long percent = platform::utf8::integerValue(platform::utf8::characters(data, 2, 3));
    if (step < 0 || static_cast<std::size_t>(step) >= tasks.size()) {
        Logger::shared().logDebug("Progress of an unknown step ignored: %@", data);
        return;
    }
    double amount = 0;
    for (long long index = 0; index < step; ++index) {
        amount += tasks[static_cast<std::size_t>(index)]->estimated();
    }
    amount += tasks[static_cast<std::size_t>(step)]->estimated() * static_cast<double>(percent) / 100.0;
    if (auto* delegate = taskDelegate()) {
        delegate->taskDidUpdateProgress(this, amount);
        delegate->taskDidUpdateProgressLabelWithValue(this, "Installing Game", "");
    }
}
