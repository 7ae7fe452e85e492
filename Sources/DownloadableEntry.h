#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// One downloadable component as "Configs/Configs.json" lists it under "downloads". Reading the
// list, the paths and the checker's answer belong to the main thread; only runChecker blocks and
// runs anywhere else.
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

    // Runs the checker on the calling thread and reads its answer (runChecker, then isUpToDate).
    bool checkExistance() const;
    // Runs "/bin/bash -l <checker>" to its end and returns its standard output: "" when there is
    // no checker or it cannot be started. Blocks while the checker runs: any thread, best a worker.
    static std::string runChecker(const std::optional<std::string>& absoluteCheckerPath);
    // Whether a checker's output says the component is installed and up to date: it begins, in any
    // letter case, with "version is up to date". Logs the answer.
    bool isUpToDate(const std::string& checkerOutput) const;

    // The installer script's absolute path; the checker path stays relative.
    std::optional<std::string> installerPath() const;
    void setInstallerPath(std::optional<std::string> path) { _installerPath = std::move(path); }
    const std::optional<std::string>& checkerPath() const { return _checkerPath; }
    std::optional<std::string> absoluteCheckerPath() const;
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
