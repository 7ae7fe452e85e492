#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// One downloadable component as "Configs/Configs.json" lists it under "downloads".
class DownloadableEntry {
public:
    explicit DownloadableEntry(std::string componentName) : name(std::move(componentName)) {}
    DownloadableEntry(std::string componentName, std::string source, std::filesystem::path destination)
        : name(std::move(componentName)), sourceUrl(std::move(source)), destinationUrl(std::move(destination)) {}

    // The components of the file (a path relative to the resources folder), in order. Whatever an
    // earlier run left at their destinations is deleted. An unreadable file gives no components.
    static std::vector<std::shared_ptr<DownloadableEntry>> entriesFromFile(const std::string& path);
    // The folder of "Configs/Configs.json" in the resources, joined with the path (".." kept).
    static std::string absolutePathForLocalPath(const std::string& localPath);

    // Runs the checker: true when its output begins, in any letter case, with "version is up to date".
    bool checkExistance() const;

    // The installer script's absolute path; the checker path stays relative.
    std::optional<std::string> installerPath() const;
    void setInstallerPath(std::optional<std::string> path) { _installerPath = std::move(path); }
    const std::optional<std::string>& checkerPath() const { return _checkerPath; }
    void setCheckerPath(std::optional<std::string> path) { _checkerPath = std::move(path); }

    std::string name;
    std::optional<std::string> sourceUrl;
    std::optional<std::filesystem::path> destinationUrl;
    std::int64_t downloadStartStatus = 0;
    std::int64_t downloadFinishStatus = 0;
    std::int64_t installCompletedStatus = 0;

private:
    std::optional<std::string> _checkerPath;
    std::optional<std::string> _installerPath;
};
