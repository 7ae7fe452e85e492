#include "platform/Bundle.h"

#include <QFile>
#include <QXmlStreamReader>

#include <memory>
#include <mutex>
#include <system_error>

namespace platform {

namespace fs = std::filesystem;

namespace {

// The string entries of the top-level dictionary of a property list in XML form.
std::map<std::string, std::string> readInfoPlist(const fs::path& path) {
    std::map<std::string, std::string> values;
    QFile file(QString::fromStdString(path.string()));
    if (!file.open(QIODevice::ReadOnly)) {
        return values;
    }
    QXmlStreamReader xml(&file);
    int depth = 0;
    std::string key;
    while (!xml.atEnd()) {
        const auto token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            ++depth;
            // plist > dict > key/string: the top-level dictionary's entries are at depth 3.
            if (depth == 3 && xml.name() == u"key") {
                key = xml.readElementText().toStdString();
                --depth;
            } else if (depth == 3 && xml.name() == u"string" && !key.empty()) {
                values[key] = xml.readElementText().toStdString();
                key.clear();
                --depth;
            } else if (depth == 3) {
                key.clear();
            }
        } else if (token == QXmlStreamReader::EndElement) {
            --depth;
        }
    }
    return values;
}

fs::path executableBundlePath() {
    std::error_code error;
    const fs::path executable = fs::read_symlink("/proc/self/exe", error);
    const fs::path folder = executable.parent_path();
    if (!error && folder.filename() == "MacOS" && folder.parent_path().filename() == "Contents") {
        return folder.parent_path().parent_path();
    }
    return error ? fs::current_path() : folder;
}

std::mutex mainBundleMutex;
std::unique_ptr<Bundle> mainBundleInstance;

}  // namespace

Bundle::Bundle(fs::path bundlePath) : _bundlePath(std::move(bundlePath)) {
    const fs::path contents = _bundlePath / "Contents";
    std::error_code error;
    if (fs::is_directory(contents, error)) {
        _resourcePath = contents / "Resources";
        _info = readInfoPlist(contents / "Info.plist");
    } else {
        _resourcePath = _bundlePath;
    }
}

const Bundle& Bundle::mainBundle() {
    std::lock_guard lock(mainBundleMutex);
    if (!mainBundleInstance) {
        mainBundleInstance = std::make_unique<Bundle>(executableBundlePath());
    }
    return *mainBundleInstance;
}

void Bundle::setMainBundlePath(const fs::path& bundlePath) {
    std::lock_guard lock(mainBundleMutex);
    mainBundleInstance = std::make_unique<Bundle>(bundlePath.empty() ? executableBundlePath() : bundlePath);
}

std::optional<std::string> Bundle::objectForInfoDictionaryKey(const std::string& key) const {
    const auto found = _info.find(key);
    if (found == _info.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::optional<fs::path> Bundle::pathForResource(const std::string& name, const std::string& type) const {
    const fs::path candidate = _resourcePath / (type.empty() ? name : name + "." + type);
    std::error_code error;
    if (fs::exists(candidate, error)) {
        return candidate;
    }
    return std::nullopt;
}

}  // namespace platform
