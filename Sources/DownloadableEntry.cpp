#include "DownloadableEntry.h"

#include "BashTask.h"
#include "Logger/Logger.h"
#include "platform/Bundle.h"
#include "platform/Environment.h"
#include "platform/Error.h"
#include "platform/FileManager.h"
#include "platform/Json.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace fs = std::filesystem;
using platform::json::Value;

namespace {

// A number, or a numeric string read by its leading integer; 0 for anything else, and for a
// value that has no signed 64-bit integer.
std::int64_t integerValue(const Value& element, const char* key) {
    const auto found = element.member(key);
    if (!found) {
        return 0;
    }
    if (const auto number = found->asInteger()) {
        return *number;
    }
    const auto text = found->asString();
    if (!text) {
        return 0;
    }
    errno = 0;
    const long long number = std::strtoll(text->c_str(), nullptr, 10);
    return errno == ERANGE ? 0 : number;
}

// A destination is one plain file name inside the temporary folder: anything else could name
// the folder itself, its parent or a path outside it.
bool isPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

// Removes a file or a link left at a destination; a folder there is never removed.
void removeLeftover(const fs::path& path) {
    std::optional<platform::Error> error;
    if (!platform::removeFileOrLink(path, error)) {
        return;
    }
    if (error) {
        Logger::shared().logError("Cannot remove file %@. Error %@", path, *error);
    } else {
        Logger::shared().logDebug("Removed file %@.", path);
    }
}

}  // namespace

std::vector<std::shared_ptr<DownloadableEntry>> DownloadableEntry::entriesFromFile(const std::string& path) {
    std::vector<std::shared_ptr<DownloadableEntry>> entries;
    const fs::path file = platform::Bundle::mainBundle().resourcePath().string() + "/" + path;
    const auto document = Value::parseFile(file);
    if (!document || !document->isObject()) {
        Logger::shared().logError("Cannot read the components from %@", file);
        return entries;
    }
    const auto downloads = document->member("downloads");
    if (!downloads) {
        return entries;
    }
    for (const Value& element : downloads->elements()) {
        if (!element.isObject()) {
            continue;
        }
        auto entry = std::make_shared<DownloadableEntry>(element.stringMember("name").value_or(std::string()));
        const auto destination = element.stringMember("destination");
        if (destination && !isPlainFileName(*destination)) {
            Logger::shared().logError("Component '%@' skipped: its destination '%@' is not a plain file name",
                                      entry->name, destination);
            continue;
        }
        if (destination) {
            // Appended as text: the temporary folder ends with a slash.
            entry->destinationUrl = fs::path(platform::temporaryDirectory() + *destination);
        }
        entry->sourceUrl = element.stringMember("url");
        entry->setCheckerPath(element.stringMember("checker"));
        entry->setInstallerPath(element.stringMember("installer"));
        entry->downloadStartStatus = integerValue(element, "downloadStartStatus");
        entry->downloadFinishStatus = integerValue(element, "downloadFinishStatus");
        entry->installCompletedStatus = integerValue(element, "installCompletedStatus");
        entries.push_back(entry);
        if (entry->destinationUrl) {
            removeLeftover(*entry->destinationUrl);
        }
    }
    return entries;
}

std::string DownloadableEntry::absolutePathForLocalPath(const std::string& localPath) {
    // Appended as text, as the platform appends a path component: an absolute argument stays
    // inside the configuration folder instead of replacing it.
    const fs::path configs = platform::Bundle::mainBundle().resourcePath() / "Configs/Configs.json";
    std::string folder = configs.parent_path().string();
    std::size_t start = 0;
    while (start < localPath.size() && localPath[start] == '/') {
        ++start;
    }
    return folder + "/" + localPath.substr(start);
}

std::optional<std::string> DownloadableEntry::installerPath() const {
    if (!_installerPath) {
        return std::nullopt;
    }
    return absolutePathForLocalPath(*_installerPath);
}

std::optional<std::string> DownloadableEntry::absoluteCheckerPath() const {
    if (!_checkerPath) {
        return std::nullopt;
    }
    return absolutePathForLocalPath(*_checkerPath);
}

bool DownloadableEntry::checkExistance() const {
    return isUpToDate(runChecker(absoluteCheckerPath()));
}

std::string DownloadableEntry::runChecker(const std::optional<std::string>& absoluteCheckerPath) {
    if (!absoluteCheckerPath) {
        return std::string();
    }
    return BashTask::executeWithPath("/bin/bash", {"-l", *absoluteCheckerPath}).value_or("");
}

bool DownloadableEntry::isUpToDate(const std::string& checkerOutput) const {
    std::string output = checkerOutput;
    std::transform(output.begin(), output.end(), output.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (output.starts_with("version is up to date")) {
        Logger::shared().logInfo("'%@' version is up to date. No need to install it!", name);
        return true;
    }
    Logger::shared().logInfo("'%@' not installed!!!", name);
    return false;
}
