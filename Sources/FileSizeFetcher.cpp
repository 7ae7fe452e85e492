// Placeholder until the size requests land.
#include "FileSizeFetcher.h"

#include "TaskDelegate.h"

FileSizeFetcher::FileSizeFetcher(std::vector<std::string> urls) : _urls(std::move(urls)) {}
void FileSizeFetcher::execute() {
    if (auto* delegate = taskDelegate()) delegate->executionFinishedOfTask(this);
}
void FileSizeFetcher::invalidate() {}
std::string FileSizeFetcher::status() { return ""; }
