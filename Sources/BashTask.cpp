#include "BashTask.h"

#include "Logger/Logger.h"
#include "TaskDelegate.h"
#include "platform/Dispatch.h"
#include "platform/RunLoop.h"

#include <cctype>
#include <cstdlib>
#include <system_error>

namespace {

std::string quoted(const std::string& argument) {
    const bool inQuotes = !argument.empty() && argument.front() == '"' && argument.back() == '"';
    const bool option = !argument.empty() && argument.front() == '-';
    return (inQuotes || option) ? argument : "\"" + argument + "\"";
}

std::string join(const std::vector<std::string>& parts) {
    std::string text;
    for (const auto& part : parts) {
        text += text.empty() ? part : " " + part;
    }
    return text;
}

std::shared_ptr<platform::Pipe> makePipe() {
    try {
        return platform::Pipe::create();
    } catch (const std::system_error& error) {
        throw platform::Exception("NSFileHandleOperationException", error.what());
    }
}

}  // namespace

BashTask::BashTask(const std::string& launchPath, const std::vector<std::string>& arguments) : _path(launchPath) {
    for (const auto& argument : arguments) {
        _arguments.push_back(quoted(argument));
    }
}

std::string BashTask::joinedArguments() const {
    return join(_arguments);
}

void BashTask::execute() {
    platform::assertMainThread();
    std::weak_ptr<Task> weakSelf = weak_from_this();
    try {
        auto pipe = makePipe();
        _output = pipe->fileHandleForReading();
        _output->waitForDataInBackgroundAndNotify();
        lastDataReceived.clear();
        _observer = _output->addDataAvailableObserver([weakSelf](platform::FileHandle& handle) {
            if (auto self = std::static_pointer_cast<BashTask>(weakSelf.lock())) {
                self->handleDataAvailable(handle);
            }
        });

        _task = platform::Process::create();
        _task->setLaunchPath(_path);
        _task->setArguments(_arguments);
        _task->setStandardOutput(pipe);
        _task->setTerminationHandler([weakSelf](platform::Process& process) {
            const int status = process.terminationStatus();
            platform::dispatch::asyncMain([weakSelf, status] {
                if (auto self = std::static_pointer_cast<BashTask>(weakSelf.lock())) {
                    self->handleTermination(status);
                }
            });
        });
        Logger::shared().logInfo("Launch task: %@ %@", _path, joinedArguments());
        _task->launch();
    } catch (const std::exception& caught) {
        // Any failure, a thread that could not be started included, leaves no child: launch()
        // starts none when it throws, and it comes last.
        const auto exception = platform::Exception::from(caught);
        if (_output && _observer) {
            _output->removeDataAvailableObserver(*_observer);
        }
        const std::string arguments = joinedArguments();
        Logger::shared().logFatal("Cannot run BashTask '%@ %@': %@", _path, arguments, exception);
        platform::Error::Info info;
        info.localizedDescription = platform::format("%@ %@; Exception: %@", _path, arguments, exception.name());
        info.localizedFailureReason = exception.reason();
        if (auto* delegate = taskDelegate()) {
            delegate->taskFinishedWithError(this, platform::Error("BashTask", -1, info));
        }
    }
}

void BashTask::invalidate() {
    if (_task) {
        _task->terminate();
    }
}

// The child's output read by `read`; a read error ends the following like the end of output, but is logged.
std::string BashTask::readOutput(const std::function<std::string()>& read) {
    try {
        return read();
    } catch (const std::system_error& error) {
        Logger::shared().logError("Cannot read the output of %@ %@: %@", _path, joinedArguments(), error.what());
        _output->closeFile();
        return {};
    }
}

void BashTask::handleDataAvailable(platform::FileHandle& handle) {
    const std::string data = readOutput([&] { return handle.availableData(); });
    if (data.empty()) {
        return;  // end of output: no more notifications
    }
    splitIntoLines(data);
    handle.waitForDataInBackgroundAndNotify();
}

void BashTask::splitIntoLines(const std::string& data) {
    std::size_t cut = 0;
    for (std::size_t index = 0; index < data.size(); ++index) {
        if (data[index] == '\0' || data[index] == '\n') {
            lastDataReceived.append(data, cut, index - cut);
            const std::string line = std::move(lastDataReceived);
            lastDataReceived = std::string();
            if (_bashDelegate != nullptr) {
                _bashDelegate->onDataReceived(line);
            }
            cut = index + 1;
        }
    }
    lastDataReceived.append(data, cut, std::string::npos);
}

void BashTask::handleTermination(int status) {
    if (_output && _observer) {
        // Output the child wrote before it ended may still wait for its notification: take it
        // now, before the observer goes, so that no complete line is lost.
        splitIntoLines(readOutput([&] { return _output->readAvailableNow(); }));
        _output->removeDataAvailableObserver(*_observer);
        _observer.reset();
    }
    if (auto* delegate = taskDelegate()) {
        if (status != 0) {
            delegate->taskFinishedWithError(this, platform::Error("BashTask", status));
        } else {
            delegate->executionFinishedOfTask(this);
        }
    }
    if (_bashDelegate != nullptr) {
        _bashDelegate->onTerminate();
    }
}

std::optional<std::string> BashTask::executeWithPath(const std::string& path, const std::vector<std::string>& arguments,
                                                     const std::optional<std::string>& currentDirectory) {
    auto process = platform::Process::create();
    process->setLaunchPath(path);
    process->setArguments(arguments);
    if (currentDirectory) {
        process->setCurrentDirectoryPath(*currentDirectory);
    }
    return executeToEnd(process);
}

std::optional<std::string> BashTask::executeToEnd(const std::shared_ptr<platform::Process>& process) {
    try {
        // Standard error stays the installer's, as it always was for these children.
        return process->launchAndReadToEnd(false).standardOutput;
    } catch (const std::exception&) {
        Logger::shared().logFatal("Cannot execute bash command: %@ %@", process->launchPath(), join(process->arguments()));
        return std::nullopt;
    }
}

std::optional<long long> BashTask::leadingInteger(const std::string& text) {
    std::size_t start = 0;
    while (start < text.size() && std::isspace(static_cast<unsigned char>(text[start]))) {
        ++start;
    }
    const char* begin = text.c_str() + start;
    char* end = nullptr;
    const long long value = std::strtoll(begin, &end, 10);
    if (end == begin) {
        return std::nullopt;
    }
    return value;
}
