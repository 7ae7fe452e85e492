#include "download_fixture.h"

namespace fs = std::filesystem;
using testing_support::HttpTestServer;
using Kind = HttpTestServer::FaultKind;

namespace {

// Every faulty server ends in the whole file or the alert well within this bound.
constexpr auto bound = std::chrono::seconds(15);
constexpr std::int64_t size = 2 << 20;

class DownloadFaults : public DownloadTest {
protected:
    // The Range header of each GET of the path, in order.
    std::vector<std::string> ranges(const std::string& path) {
        std::vector<std::string> found;
        for (const auto& request : server.requests()) {
            if (request.method == "GET" && request.path == path) {
                found.push_back(request.range);
            }
        }
        return found;
    }
};

}  // namespace

TEST_F(DownloadFaults, EachFaultEndsInTheWholeFileFetchedAgainFromWhereItCan) {
    const struct {
        std::string name;
        std::vector<HttpTestServer::Fault> faults;
        std::vector<std::string> ranges;
        bool validated = true;  // false: the server names no validator, so nothing can be resumed
    } cases[] = {
        {"Dropped", {{Kind::Drop, 1 << 20}}, {"", "bytes=1048576-"}},
        {"RangeIgnored", {{Kind::Drop, 1 << 20}, {Kind::IgnoreRange}}, {"", "bytes=1048576-"}},
        {"Refused416", {{Kind::Drop, 1 << 20}, {Kind::Refuse416}}, {"", "bytes=1048576-", ""}},
        {"Stalled", {{Kind::Stall, 64 << 10}}, {"", "bytes=65536-"}},
        {"ErrorPage", {{Kind::Status, 0, 500}}, {"", ""}},
        {"NoValidator", {{Kind::Drop, 1 << 20}}, {"", ""}, false},
        {"RangeFromStart", {{Kind::Drop, 1 << 20}, {Kind::RangeFromStart}}, {"", "bytes=1048576-", ""}},
        {"ShortRange", {{Kind::Drop, 1 << 20}, {Kind::ShortRange, 4096}}, {"", "bytes=1048576-", ""}},
    };
    const std::string content = generated(size);
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        const std::string path = "/" + test.name;
        server.serve(path, content, true, test.validated);
        for (const auto& fault : test.faults) {
            server.addFault(path, fault);
        }
        observer = StepObserver{};
        codes.clear();
        auto step = downloader(test.name, path);

        ASSERT_TRUE(run(*step, bound));

        ASSERT_EQ(observer.events.back(), "finished") << (observer.error ? observer.error->description() : "");
        EXPECT_EQ(checksum(testing_support::readFile(tmp() / test.name)), checksum(content));
        EXPECT_EQ(codes, (std::vector<std::int64_t>{4, 5}));
        EXPECT_EQ(ranges(path), test.ranges);
    }
}

TEST_F(DownloadFaults, AServerThatKeepsFailingOrRefusesEndsInTheDownloaderAlert) {
    server.serve("/engine", generated(size));
    server.addFault("/engine", {Kind::Status, 0, 500, 0, -1});
    auto step = downloader("Engine", "/engine");

    ASSERT_TRUE(run(*step, bound));

    ASSERT_TRUE(observer.error);
    EXPECT_EQ(observer.error->domain(), "Downloader");
    EXPECT_EQ(observer.error->code(), -1);
    EXPECT_EQ(observer.error->localizedDescription(), "Cannot download \"Engine\"");
    const std::string advice = observer.error->localizedRecoverySuggestion().value_or("");
    EXPECT_NE(advice.find(server.url("/engine")), std::string::npos) << advice;
    EXPECT_NE(advice.find("check your internet connection and run the installer again"), std::string::npos);
    EXPECT_EQ(ranges("/engine").size(), 5u);  // the first try and four more
    EXPECT_FALSE(fs::exists(tmp() / "Engine"));
    EXPECT_EQ(codes, std::vector<std::int64_t>{4});

    observer = StepObserver{};
    auto refused = downloader("Refused", "/engine");
    refused->entry()->sourceUrl = "http://127.0.0.1:1/engine";
    ASSERT_TRUE(run(*refused, bound));
    ASSERT_TRUE(observer.error);
    EXPECT_EQ(observer.error->domain(), "Downloader");
}

// A server that trickles under the minimum rate counts as stalled: the transfer is tried again
// from where it stopped instead of running for ever.
TEST_F(DownloadFaults, ATrickleUnderTheMinimumRateIsTriedAgainFromWhereItStopped) {
    const std::string content = generated(size);
    server.serve("/engine", content);
    server.addFault("/engine", {Kind::Throttle, 0, 0, 8 << 10});
    auto step = downloader("Engine", "/engine");

    ASSERT_TRUE(run(*step, bound));

    ASSERT_EQ(observer.events.back(), "finished");
    EXPECT_EQ(checksum(testing_support::readFile(tmp() / "Engine")), checksum(content));
    const auto asked = ranges("/engine");
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_TRUE(asked[1].starts_with("bytes=")) << asked[1];
}

// Only 200 and 206 carry the file: an empty answer is no empty component. The file is asked for
// as it is, never in a compressed form that would be saved as the component.
TEST_F(DownloadFaults, AnAnswerWithoutTheFileEndsInTheAlertAndNoFile) {
    server.setReply("HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n");
    auto step = downloader("Engine", "/engine");

    ASSERT_TRUE(run(*step, bound));

    ASSERT_TRUE(observer.error);
    EXPECT_EQ(observer.error->domain(), "Downloader");
    EXPECT_FALSE(fs::exists(tmp() / "Engine"));
    const auto sent = server.requests();
    ASSERT_FALSE(sent.empty());
    EXPECT_NE(sent.front().raw.find("\r\nAccept-Encoding: identity\r\n"), std::string::npos) << sent.front().raw;
}

// A record an earlier run left that cannot be used, whatever is wrong with it, goes with its
// partial file: one warning, and the download starts from the first byte.
TEST_F(DownloadFaults, AnUnusableRecordIsDroppedWithOneWarningAndTheDownloadStartsOver) {
    const std::string content = generated(size);
    const std::string etag = R"("etag":"\"v1-)" + std::to_string(size) + R"(\"")";
    const struct {
        std::string name;
        std::string fields;  // besides the address
    } cases[] = {
        {"AcceptRangesNotABoolean", etag + R"(,"acceptRanges":1,"bytes":0})"},
        {"EtagNotAString", R"("etag":12345,"acceptRanges":true,"bytes":0})"},
        {"NegativeOffset", etag + R"(,"acceptRanges":true,"bytes":-5})"},
        {"Unparsable", etag + R"(,"acceptRanges":true,"bytes":)"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        const std::string path = "/" + test.name;
        server.serve(path, content);
        leaveTransfer(test.name, R"({"url":")" + server.url(path) + R"(",)" + test.fields, std::string(1000, 'x'));
        observer = StepObserver{};
        auto step = downloader(test.name, path);

        ASSERT_TRUE(run(*step, bound));

        ASSERT_EQ(observer.events.back(), "finished");
        EXPECT_EQ(checksum(testing_support::readFile(tmp() / test.name)), checksum(content));
        EXPECT_EQ(ranges(path), std::vector<std::string>{""});
        const fs::path record = tmp() / ".downloading" / ("com.example.test.downloading." + test.name + ".json");
        EXPECT_EQ(logLines.linesStartingWith("WARN Download record discarded: " + record.string()),
                  std::vector<std::string>{"WARN Download record discarded: " + record.string() + " cannot be resumed"});
    }
}

// A resume answered with the whole file, which has become shorter meanwhile (down to nothing,
// an answer without a body), ends as that file alone, not over the head of the partial file.
TEST_F(DownloadFaults, AResumeAnsweredByAShorterWholeFileEndsAsThatFile) {
    for (const std::string shorter : {"a newer, shorter file", ""}) {
        const std::string name = "Engine" + std::to_string(shorter.size());
        const std::string path = "/" + name;
        leaveTransfer(name,
                      R"({"url":")" + server.url(path) + R"(","etag":"\"v1-)" + std::to_string(size) +
                          R"(\"","acceptRanges":true,"bytes":1048576})",
                      generated(1 << 20));
        server.serve(path, shorter);
        observer = StepObserver{};
        auto step = downloader(name, path);

        ASSERT_TRUE(run(*step, bound));

        ASSERT_EQ(observer.events.back(), "finished");
        EXPECT_EQ(testing_support::readFile(tmp() / name), shorter);
        EXPECT_EQ(ranges(path), std::vector<std::string>{"bytes=1048576-"});
    }
}

// A record that cannot be written is reported and leaves nothing a later run would trust; the
// transfer then has nothing to go on from and starts over.
TEST_F(DownloadFaults, ARecordThatCannotBeWrittenIsReportedAndLeftOut) {
    const std::string content = generated(size);
    server.serve("/engine", content);
    server.addFault("/engine", {Kind::Drop, 1 << 20});
    const fs::path record = downloading() / "com.example.test.downloading.Engine.json";
    fs::create_directory(record.string() + ".new");  // where the record is written first
    auto step = downloader("Engine", "/engine");

    ASSERT_TRUE(run(*step, bound));

    ASSERT_EQ(observer.events.back(), "finished");
    EXPECT_EQ(checksum(testing_support::readFile(tmp() / "Engine")), checksum(content));
    EXPECT_EQ(ranges("/engine"), (std::vector<std::string>{"", ""}));
    EXPECT_FALSE(logLines.linesStartingWith("WARN Download record discarded: " + record.string() +
                                            " could not be written: ")
                     .empty());
    EXPECT_FALSE(fs::exists(record));
}
