// Placeholder until the downloads land.
#include "Downloader.h"

#include "TaskDelegate.h"

Downloader::Downloader(std::shared_ptr<DownloadableEntry> entry) : _entry(std::move(entry)) {}
void Downloader::execute() {
    if (auto* delegate = taskDelegate()) delegate->executionFinishedOfTask(this);
}
void Downloader::invalidate() {}
std::string Downloader::status() { return ""; }
