#include "Formatters.h"
#include "download_fixture.h"

#include <csignal>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace fs = std::filesystem;
using platform::DownloadTask;
using testing_support::readFile;

extern char** environ;

TEST_F(DownloadTest, ADestinationThatExistsFinishesAtOnceWithoutSessionOrCodes) {
    testing_support::writeFile(tmp() / "Engine", "already here");
    auto step = downloader("Engine", "/engine");

    step->execute();

    EXPECT_EQ(observer.events, std::vector<std::string>{"finished"});
    EXPECT_FALSE(step->urlSession());
    EXPECT_TRUE(codes.empty());
    EXPECT_TRUE(logLines.contains("Engine already downloaded to 'file://" + (tmp() / "Engine").string() + "'"));
    platform::RunLoop::runFor(std::chrono::milliseconds(100));
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(DownloadTest, SecondOfTwoDownloadsShowsTheRunningTotalAndEndsInPlace) {
    constexpr std::int64_t size = 3 << 20;
    const std::string content = generated(size);
    server.serve("/engine", content);
    server.addFault("/engine", {testing_support::HttpTestServer::FaultKind::Throttle, 0, 0, 6 << 20});
    auto step = downloader("Engine", "/engine");
    step->setFileSize(size);
    step->setTotalDownloadSize(2 * size);
    observer.before = size;

    ASSERT_TRUE(run(*step));

    EXPECT_EQ(observer.events.back(), "finished");
    EXPECT_EQ(checksum(readFile(tmp() / "Engine")), checksum(content));
    EXPECT_EQ(codes, (std::vector<std::int64_t>{4, 5}));
    EXPECT_EQ(bandwidths.size(), 1u);
    // About half a second of transfer: a few reports, but never more than about 30 a second.
    EXPECT_GE(observer.progress.size(), 3u);
    EXPECT_LE(observer.progress.size(), 30u);
    EXPECT_TRUE(std::is_sorted(observer.progress.begin(), observer.progress.end()));
    EXPECT_EQ(observer.progress.back(), static_cast<double>(size));
    EXPECT_EQ(observer.events.front(), "Downloading Game:");
    EXPECT_EQ(observer.values.back(), "(" + Formatters::stringFromBytes(2 * size) + " / " +
                                          Formatters::stringFromBytes(2 * size) + ")");
    const std::string location = (tmp() / ".downloading" / "com.example.test.downloading.Engine.download").string();
    for (const std::string& line : {"Engine downloading started: " + server.url("/engine"),
                                    "Downloading finished: " + server.url("/engine") + ", location: file://" + location,
                                    "Moved file to 'file://" + (tmp() / "Engine").string() + "'"}) {
        EXPECT_TRUE(logLines.contains(line)) << line;
    }
    EXPECT_TRUE(logLines.linesStartingWith("INFO state of download task").empty());  // nothing to adopt
}

TEST_F(DownloadTest, ATransferKilledHalfWayIsResumedByTheNextRunFromItsOffset) {
    constexpr std::int64_t size = 8 << 20;
    server.serveGenerated("/engine", size);
    server.addFault("/engine", {testing_support::HttpTestServer::FaultKind::Throttle, 0, 0, 2 << 20});
    const std::string identifier = "com.example.test.downloading.Engine";
    const std::string url = server.url("/engine");
    char* const arguments[] = {const_cast<char*>(DOWNLOAD_CHILD), const_cast<char*>(identifier.c_str()),
                               const_cast<char*>(url.c_str()), nullptr};
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, DOWNLOAD_CHILD, nullptr, nullptr, arguments, environ), 0);
    const fs::path partial = tmp() / ".downloading" / (identifier + ".part");
    const bool halfWay = platform::RunLoop::runUntil(
        [&] {
            std::error_code error;
            return fs::file_size(partial, error) >= (1u << 20) && !error;
        },
        std::chrono::seconds(10));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ASSERT_TRUE(halfWay);
    const auto offset = static_cast<std::int64_t>(fs::file_size(partial));
    ASSERT_LT(offset, size);

    auto step = downloader("Engine", "/engine");
    ASSERT_TRUE(run(*step));

    EXPECT_EQ(observer.events.back(), "finished");
    const auto requests = server.requests();
    EXPECT_EQ(requests.back().range, "bytes=" + std::to_string(offset) + "-");
    EXPECT_EQ(requests.back().ifRange, "\"v1-" + std::to_string(size) + "\"");
    EXPECT_EQ(checksum(readFile(tmp() / "Engine")), checksum(generated(size)));
    EXPECT_GE(observer.progress.front(), static_cast<double>(offset));
    EXPECT_EQ(step->fileSize(), size);
    EXPECT_TRUE(logLines.contains("state of download task = NSURLSessionTaskStateSuspended"));
    EXPECT_TRUE(logLines.contains("URLSession: didResumeAtOffset = " + std::to_string(offset) +
                                  ", expectedTotalBytes = " + std::to_string(size)));
    EXPECT_EQ(codes, (std::vector<std::int64_t>{4, 5}));
    EXPECT_FALSE(fs::exists(partial));
}

TEST_F(DownloadTest, AFailedMoveEndsTheStepWithAnErrorAndNoFinishCode) {
    server.serve("/engine", "payload");
    auto step = downloader("Engine", "/engine", tmp() / "missing" / "Engine");

    ASSERT_TRUE(run(*step));

    ASSERT_TRUE(observer.error);
    EXPECT_EQ(observer.error->domain(), "Downloader");
    EXPECT_EQ(observer.error->code(), -1);
    EXPECT_EQ(observer.error->localizedDescription(), "Cannot save \"Engine\"");
    EXPECT_EQ(codes, std::vector<std::int64_t>{4});
}

// A server that states no length leaves the measured size (-1) in place: no bandwidth can be
// worked out from it, and none is sent, but the file and its finish code still come.
TEST_F(DownloadTest, AFileOfUnstatedSizeKeepsTheMeasuredSizeAndSendsNoBandwidth) {
    server.serve("/engine", std::string(100000, 'e'), false);
    auto step = downloader("Engine", "/engine");
    step->setFileSize(-1);

    ASSERT_TRUE(run(*step));

    EXPECT_EQ(observer.events.back(), "finished");
    EXPECT_EQ(step->fileSize(), -1);
    EXPECT_TRUE(bandwidths.empty());
    EXPECT_EQ(codes, (std::vector<std::int64_t>{4, 5}));
}

// Only a regular file of the user's own counts as downloaded: anything else at the destination
// (here a pipe someone could have planted) is downloaded over.
TEST_F(DownloadTest, ADestinationThatIsNoRegularFileIsDownloadedOver) {
    ASSERT_EQ(::mkfifo((tmp() / "Engine").c_str(), 0600), 0);
    server.serve("/engine", "payload");
    auto step = downloader("Engine", "/engine");

    ASSERT_TRUE(run(*step));

    ASSERT_TRUE(fs::is_regular_file(tmp() / "Engine"));
    EXPECT_EQ(readFile(tmp() / "Engine"), "payload");
}

// A session's files serve one transfer at a time: a second task resumed while the first runs
// ends at once with an error, and the first delivers its own file.
TEST_F(DownloadTest, ASessionRunsOneTaskAtATime) {
    struct Recorder : platform::DownloadSessionDelegate {
        std::vector<std::string> ends;  // "<address> <the file's bytes, or how the task ended>"
        void downloadTaskDidWriteData(DownloadTask&, std::int64_t, std::int64_t, std::int64_t) override {}
        void downloadTaskDidResumeAtOffset(DownloadTask&, std::int64_t, std::int64_t) override {}
        void downloadTaskDidFinishDownloadingToUrl(DownloadTask& task, const fs::path& location) override {
            ends.push_back(task.originalUrl() + " " + readFile(location));
        }
        void taskDidCompleteWithError(DownloadTask& task, const std::optional<platform::Error>& error,
                                      const std::optional<std::string>&) override {
            ends.push_back(task.originalUrl() + (error ? " error" : " ok"));
        }
    } recorder;
    server.serve("/first", "first file");
    server.serve("/second", "second file");
    auto session = platform::DownloadSession::create({"com.example.test.one"}, &recorder);
    auto first = session->downloadTask(server.url("/first"));
    auto second = session->downloadTask(server.url("/second"));

    first->resume();
    second->resume();

    ASSERT_TRUE(platform::RunLoop::runUntil([&] { return recorder.ends.size() >= 3; }, std::chrono::seconds(10)));
    EXPECT_THAT(recorder.ends, testing::UnorderedElementsAre(server.url("/first") + " first file", server.url("/first") + " ok",
                                                             server.url("/second") + " error"));
    EXPECT_EQ(server.requests().size(), 1u);
}
