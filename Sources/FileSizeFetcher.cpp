#include "FileSizeFetcher.h"

#include "Formatters.h"
#include "Logger/Logger.h"
#include "TaskDelegate.h"
#include "platform/Dispatch.h"
#include "platform/Http.h"

FileSizeFetcher::FileSizeFetcher(std::vector<std::string> urls) : _urls(std::move(urls)) {}

void FileSizeFetcher::invalidate() {}

std::string FileSizeFetcher::status() {
    return "Initializing...";
}

void FileSizeFetcher::execute() {
    // The work and its posts keep the fetcher alive until its report has been delivered.
    auto self = std::static_pointer_cast<FileSizeFetcher>(shared_from_this());
    platform::dispatch::asyncGlobal([self] { self->measure(); });
}

void FileSizeFetcher::measure() {
    auto self = std::static_pointer_cast<FileSizeFetcher>(shared_from_this());
    std::vector<std::int64_t> sizes;
    std::int64_t total = 0;
    for (const auto& url : _urls) {
        platform::dispatch::asyncMain([self] {
            if (auto* delegate = self->taskDelegate()) {
                delegate->taskDidUpdateProgressLabelWithValue(self.get(), "Fetching file sizes for downloading", "");
            }
        });
        platform::http::Request request;
        request.url = url;
        request.method = "HEAD";
        request.timeout = _timeout;
        request.connectTimeout = _timeout;
        const auto response = platform::http::sendSynchronousRequest(request);
        // The length of an error page (a server that refuses HEAD) is no size of the file, which
        // only a file of that size may be delivered at.
        const std::int64_t size = response.statusCode / 100 == 2 ? response.expectedContentLength : -1;
        sizes.push_back(size);
        total += size;
        Logger::shared().logInfo("File size is %@ for url \"%@\"", Formatters::stringFromBytes(size), url);
    }
    Logger::shared().logInfo("Full size is %@", Formatters::stringFromBytes(total));
    platform::dispatch::asyncMain([self, sizes = std::move(sizes)] {
        if (auto* delegate = self->delegate()) {
            delegate->fileSizeFetcherDidCalculateFileSizesForUrls(self.get(), sizes, self->urls());
        }
        if (auto* delegate = self->taskDelegate()) {
            delegate->executionFinishedOfTask(self.get());
        }
    });
}
