#include "UnzipTask.h"

#include "DataIterator.h"
#include "Logger/Logger.h"
#include "TaskDelegate.h"
#include "platform/AppleScript.h"

#include <filesystem>

UnzipTask::UnzipTask(const std::string& archive, const std::string& destination)
    : BashTask("/usr/bin/unzip", {"-d", destination, "-o", archive}), sourcePath(archive), destinationPath(destination) {
    // unzip is started directly, not through a shell: quotes added for a shell text would become
    // part of the file names, so the paths go to it as they are.
    setArguments({"-d", destination, "-o", archive});
    // Administrator rights are asked for once, synchronously, when the step is made.
    platform::AppleScript::ErrorInfo error;
    if (platform::AppleScript("do shell script \"whoami > /tmp/me\" with administrator privileges")
            .executeAndReturnError(error)) {
        Logger::shared().logInfo("success!");
    } else {
        Logger::shared().logError("failure!");
    }
}

void UnzipTask::readListing() {
    fileSizes.clear();
    DataIterator iterator(executeWithPath("/usr/bin/unzip", {"-l", sourcePath}).value_or(std::string()));
    if (!iterator.isEnd()) {
        iterator.nextLine();
    }
    const std::string header = iterator.isEnd() ? std::string() : iterator.nextLineTrimmed().value_or(std::string());
    const std::size_t namePosition = header.find("Name");
    if (!iterator.isEnd()) {
        iterator.nextLine();
    }
    while (!iterator.isEnd()) {
        const std::string line = iterator.nextLine().value_or(std::string());
        if (!line.empty() && line.front() == '-') {
            break;
        }
        const std::string name = (namePosition == std::string::npos || namePosition > line.size())
                                     ? std::string()
                                     : DataIterator::trimmed(line.substr(namePosition));
        if (const auto size = parseFileSizeFromString(line)) {
            const std::string key = (std::filesystem::path(destinationPath) / name).string();
            Logger::shared().logInfo("%@", key);
            fileSizes[key] = *size;
        } else {
            Logger::shared().logInfo("UnzipTask: Cannot parse fileSize in string: \"%@\"", line);
        }
    }
    const std::string totals = iterator.isEnd() ? std::string() : iterator.nextLine().value_or(std::string());
    totalSize = parseFileSizeFromString(totals).value_or(0);
    remainingSize = totalSize;
    remainingFiles = static_cast<std::int64_t>(fileSizes.size());
}

void UnzipTask::execute() {
    readListing();
    setBashDelegate(this);
    BashTask::execute();
}

void UnzipTask::onDataReceived(const std::string& data) {
    DataIterator::enumerateDataByLinesUsingBlock(data, [this](const std::optional<std::string>& line) {
        const std::size_t colon = line ? line->find(':') : std::string::npos;
        if (colon == std::string::npos) {
            return;  // not a member line ("inflating: <path>")
        }
        const auto found = fileSizes.find(DataIterator::trimmed(line->substr(colon + 1)));
        if (found == fileSizes.end()) {
            return;
        }
        remainingSize -= found->second;
        remainingFiles -= 1;
        const double done = static_cast<double>(totalSize - remainingSize);
        Logger::shared().logInfo("progress = %f %%", totalProgress() > 0 ? done / totalProgress() * 100 : 100.0);
        if (auto* delegate = taskDelegate()) {
            delegate->taskDidUpdateProgress(this, done);
        }
    });
}
