#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace platform {

// An application bundle on disk: "<name>.app/Contents/MacOS/<executable>",
// "Contents/Resources/" and "Contents/Info.plist".
class Bundle {
public:
    // The bundle at the given folder ("<name>.app"). A folder that is no bundle still works:
    // its resources are then looked up in the folder itself.
    explicit Bundle(std::filesystem::path bundlePath);

    // The bundle of the running program, found from its executable's location. An executable
    // that is not inside a bundle gets its own folder as bundle and resources folder.
    static const Bundle& mainBundle();
    // Points mainBundle() at another bundle folder (tests use their own); an empty path
    // goes back to the executable's own bundle.
    static void setMainBundlePath(const std::filesystem::path& bundlePath);

    const std::filesystem::path& bundlePath() const { return _bundlePath; }
    const std::filesystem::path& resourcePath() const { return _resourcePath; }
    // The string value of a key of the top-level dictionary of Info.plist.
    std::optional<std::string> objectForInfoDictionaryKey(const std::string& key) const;
    std::optional<std::string> bundleIdentifier() const { return objectForInfoDictionaryKey("CFBundleIdentifier"); }
    // The path of "<name>.<type>" in the resources folder when that file exists.
    std::optional<std::filesystem::path> pathForResource(const std::string& name, const std::string& type) const;

private:
    std::filesystem::path _bundlePath;
    std::filesystem::path _resourcePath;
    std::map<std::string, std::string> _info;
};

}  // namespace platform
