#include "LaunchTask.h"

#include "FailureReport.h"
#include "Logger/Logger.h"
#include "ShellText.h"
#include "StepEnd.h"
#include "StatisticsManager.h"
#include "TaskDelegate.h"
#include "platform/Application.h"
#include "platform/Bundle.h"
#include "platform/Dispatch.h"
#include "platform/Json.h"
#include "platform/Paths.h"
#include "platform/RunLoop.h"
#include "platform/Utf8.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::string_view progressPrefix = "ZorerurovidoProgress:";
constexpr std::string_view quitLine = "Zozivurorido quit.";
constexpr std::string_view errorPrefix = "ZorerurovidoError:";
// Output without a line end is cut into lines of this length, so the unfinished line stays small.
constexpr std::size_t longestLine = 64 * 1024;
// An unfinished line is taken as it is once the companion has written nothing for this long.
constexpr std::chrono::milliseconds quietSpell{500};

std::mutex companionMutex;
std::string companionProgram = "/Library/Ravelune/zorerurovido/Zozivurorido.app/Contents/MacOS/Zozivurorido";
std::string companionDirectory = "/Library/Ravelune";

[[noreturn]] void refuse(const std::string& reason) {
    throw platform::Exception("NSInvalidArgumentException", reason);
}

// The game's package name from its description; refused when it could leave the folder it names
// a file in.
std::string packageName(const fs::path& description) {
    std::ifstream in(description, std::ios::binary);
    if (!in) {
        refuse(platform::format("cannot read %@", description));
    }
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const auto document = platform::json::Value::parse(text);
    if (!document || !document->isObject()) {
        refuse(platform::format("%@ is not a JSON object", description));
    }
    const std::string name = document->stringMember("ApkPackageName").value_or("");
    if (name.empty()) {
        refuse(platform::format("no ApkPackageName in %@", description));
    }
    if (name.find_first_of(std::string("/\0", 2)) != std::string::npos || name == "." || name == "..") {
        refuse(platform::format("ApkPackageName '%@' is not a file name", name));
    }
    return name;
}

}  // namespace

LaunchTask::LaunchTask(std::string applicationName)
    : _appName(std::move(applicationName)),
      _sendAction([](std::int64_t code) { StatisticsManager::shared().sendAction(code); }) {}

void LaunchTask::setCompanionLocation(const std::string& program, const std::string& workingDirectory) {
    std::lock_guard lock(companionMutex);
    companionProgram = program;
    companionDirectory = workingDirectory;
}

void LaunchTask::execute() {
    platform::assertMainThread();
    std::shared_ptr<platform::Pipe> pipe;
    try {
        pipe = platform::Pipe::create();
    } catch (const std::system_error& error) {
        failPreparation(platform::Exception("NSFileHandleOperationException", error.what()));
        return;
    }
    try {
        _output = pipe->fileHandleForReading();
        std::weak_ptr<Task> weakSelf = weak_from_this();
        _observer = _output->addDataAvailableObserver([weakSelf](platform::FileHandle& handle) {
            if (auto self = std::static_pointer_cast<LaunchTask>(weakSelf.lock())) {
                self->getTaskProggress(handle);
            }
        });
        _output->waitForDataInBackgroundAndNotify();
        auto self = std::static_pointer_cast<LaunchTask>(shared_from_this());
        platform::dispatch::asyncGlobal([self, pipe] { self->prepare(pipe); });
    } catch (const std::exception& exception) {
        // No worker (or no file watcher) could be started: nothing was prepared, nothing runs.
        failPreparation(platform::Exception::from(exception));
    }
}

void LaunchTask::prepare(const std::shared_ptr<platform::Pipe>& pipe) {
    try {
        const fs::path application =
            platform::paths::homeDirectory() / "Applications" / "Ravelune" / platform::format("%@.app", _appName);
        std::error_code error;
        if (!fs::is_directory(application, error)) {
            refuse(platform::format("no game application at %@", application));
        }
        const auto description = platform::Bundle(application).pathForResource("game", "json");
        if (!description) {
            refuse(platform::format("no game description in %@", application));
        }
        const std::string package = packageName(*description);
        const fs::path support = platform::paths::applicationSupportDirectory();
        fs::create_directories(support, error);
        // An existing copy stays as it is.
        fs::copy_file(*description, support / (package + ".json"), error);

        std::string program;
        std::string directory;
        {
            std::lock_guard lock(companionMutex);
            program = companionProgram;
            directory = companionDirectory;
        }
        // The path is the shell's literal text, whatever the game's folder is called.
        const std::string command =
            ShellText::word(program) + " " + ShellText::doubleQuoted(description->string()) + " hideform";
        Logger::shared().logInfo("Prepared task: %@", command);

        auto process = platform::Process::create();
        process->setLaunchPath("/bin/bash");
        process->setCurrentDirectoryPath(directory);
        process->setArguments({"-c", command});
        process->setStandardOutput(pipe);
        std::weak_ptr<Task> weakSelf = weak_from_this();
        process->setTerminationHandler([weakSelf](platform::Process& ended) {
            const int status = ended.terminationStatus();
            platform::dispatch::asyncMain([weakSelf, status] {
                if (auto self = std::static_pointer_cast<LaunchTask>(weakSelf.lock())) {
                    self->handleTermination(status);
                }
            });
        });
        _task = process;
        Logger::shared().logInfo("Application %@ launched", _appName);
        _sendAction(31);
        process->launch();
    } catch (const std::exception& exception) {
        // launch() comes last and starts no child when it throws.
        failPreparation(platform::Exception::from(exception));
    }
}

void LaunchTask::failPreparation(const platform::Exception& exception) {
    Logger::shared().logFatal("Cannot Launch Application '%@': %@", _appName, exception);
    platform::Error::Info info;
    info.localizedDescription = platform::format("%@; Exception: %@", _appName, exception.name());
    info.localizedFailureReason = exception.reason();
    auto self = std::static_pointer_cast<LaunchTask>(shared_from_this());
    platform::dispatch::asyncMain([self, error = platform::Error("LaunchTask", -1, info)] { reportStepEnd(self.get(), error); });
}

void LaunchTask::getTaskProggress(platform::FileHandle& handle) {
    platform::assertMainThread();
    handle.waitForDataInBackgroundAndNotify();
    std::string data;
    try {
        data = handle.availableData();
    } catch (const std::system_error& error) {
        Logger::shared().logError("Cannot read the output of application %@: %@", _appName, error.what());
        handle.closeFile();
        return;
    }
    if (data.empty()) {
        return;
    }
    _lastOutput = std::chrono::steady_clock::now();
    takeOutput(data, false);
    if (!_pendingLine.empty() && !_quietTimer) {
        awaitQuiet(quietSpell);
    }
}

void LaunchTask::awaitQuiet(std::chrono::milliseconds delay) {
    std::weak_ptr<Task> weakSelf = weak_from_this();
    _quietTimer = platform::Timer::scheduled(delay, false, [weakSelf](platform::Timer&) {
        if (auto self = std::static_pointer_cast<LaunchTask>(weakSelf.lock())) {
            self->takeUnfinishedLineWhenQuiet();
        }
    });
}

void LaunchTask::takeUnfinishedLineWhenQuiet() {
    _quietTimer.reset();
    if (_pendingLine.empty()) {
        return;
    }
    const auto quietFor =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - _lastOutput);
    if (quietFor < quietSpell) {
        awaitQuiet(quietSpell - quietFor);
        return;
    }
    takeOutput({}, true);
}

void LaunchTask::takeOutput(std::string_view data, bool atEnd) {
    // The lines to handle leave the buffer first: a report may show a modal alert, whose event
    // loop can deliver the next read into this step before these lines are done. Each byte is
    // looked at once, however long the unfinished line grows.
    std::vector<std::string> lines;
    while (!data.empty()) {
        const std::size_t room = longestLine - _pendingLine.size();
        const std::size_t lineEnd = data.substr(0, room).find('\n');
        const std::size_t taken = lineEnd != std::string_view::npos ? lineEnd : std::min(room, data.size());
        _pendingLine.append(data.substr(0, taken));
        if (lineEnd != std::string_view::npos || taken == room) {
            lines.push_back(std::exchange(_pendingLine, {}));
        }
        data.remove_prefix(lineEnd != std::string_view::npos ? lineEnd + 1 : taken);
    }
    if (atEnd && !_pendingLine.empty()) {
        lines.push_back(std::exchange(_pendingLine, {}));
    }
    for (const std::string& line : lines) {
        if (!handleLine(line)) {
            _pendingLine.clear();
            return;
        }
    }
}

bool LaunchTask::handleLine(std::string_view line) {
    if (platform::Application::isTerminating()) {
        return false;
    }
    if (line.empty()) {
        return true;
    }
    if (!platform::utf8::isValid(line)) {
        Logger::shared().logDebug("Companion output that is not UTF-8 ignored");
        return true;
    }
    auto* delegate = taskDelegate();
    if (line.find(progressPrefix) != std::string_view::npos) {
        const long long percent =
            platform::utf8::integerValue(platform::utf8::characters(line, progressPrefix.size()));
        if (delegate != nullptr) {
            delegate->taskDidUpdateProgress(this, _estimated * static_cast<double>(percent) / 100.0);
            delegate->taskDidUpdateProgressLabelWithValue(this, "Installing Game", "");
        }
    } else if (line.find(quitLine) != std::string_view::npos) {
        Logger::shared().logDebug("App will terminate abnormally");
        platform::Application::terminate(2);
        return false;
    } else if (line.find(errorPrefix) != std::string_view::npos) {
        Logger::shared().logError("errorDescription = %@", platform::utf8::characters(line, errorPrefix.size() + 1));
        platform::Error::Info info;
        info.localizedDescription = FailureReport::title("Launch application failed.");
        info.localizedRecoverySuggestion = platform::format(
            "Please, report issue to developers with attached logs from '%@' and attach screenshot of this dialog box.",
            platform::paths::logsDirectory());
        info.underlyingError = "Launch application error";
        if (delegate != nullptr) {
            delegate->taskFinishedWithError(this, platform::Error("Launch App", -1, info));
        }
    }
    return true;
}

void LaunchTask::handleTermination(int status) {
    if (platform::Application::isTerminating()) {
        return;
    }
    Logger::shared().logInfo("Launch task will be terminated");
    if (_quietTimer) {
        _quietTimer->invalidate();
        _quietTimer.reset();
    }
    if (_output && _observer) {
        // Lines written just before the exit may not have been notified yet.
        std::string rest;
        try {
            rest = _output->readAvailableNow();
        } catch (const std::system_error& error) {
            Logger::shared().logError("Cannot read the output of application %@: %@", _appName, error.what());
        }
        takeOutput(rest, true);
        _output->removeDataAvailableObserver(*_observer);
        _observer.reset();
    }
    reportStepEnd(this, status != 0 ? std::optional(platform::Error("LaunchTask", status)) : std::nullopt);
}

