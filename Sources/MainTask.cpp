// Placeholder until the pipeline lands.
#include "MainTask.h"

std::string MainTask::absolutePathForLocalPath(const std::string& localPath) {
    return DownloadableEntry::absolutePathForLocalPath(localPath);
}
std::optional<nlohmann::json> MainTask::jsonDict() { return std::nullopt; }
void MainTask::execute() { TaskSequence::execute(); }
void MainTask::invalidate() { TaskSequence::invalidate(); }
void MainTask::fileSizeFetcherDidCalculateFileSizesForUrls(FileSizeFetcher*, const std::vector<std::int64_t>&,
                                                           const std::vector<std::string>&) {}
