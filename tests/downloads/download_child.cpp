// Downloads one address through a session under the given identifier and never ends by
// itself: the test kills it half-way, as a user or a crash would end the installer.
#include "platform/DownloadSession.h"
#include "platform/RunLoop.h"

#include <cstdio>

namespace {

struct Quiet : platform::DownloadSessionDelegate {
    void downloadTaskDidWriteData(platform::DownloadTask&, std::int64_t, std::int64_t, std::int64_t) override {}
    void downloadTaskDidResumeAtOffset(platform::DownloadTask&, std::int64_t, std::int64_t) override {}
    void downloadTaskDidFinishDownloadingToUrl(platform::DownloadTask&, const std::filesystem::path&) override {}
    void taskDidCompleteWithError(platform::DownloadTask&, const std::optional<platform::Error>&,
                                  const std::optional<std::string>&) override {}
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: download_child <identifier> <url>\n");
        return 2;
    }
    platform::RunLoop::initialize(argc, argv);
    Quiet delegate;
    auto session = platform::DownloadSession::create({argv[1]}, &delegate);
    session->downloadTask(argv[2])->resume();
    return platform::RunLoop::run();
}
