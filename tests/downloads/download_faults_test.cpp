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
    } cases[] = {
        {"Dropped", {{Kind::Drop, 1 << 20}}, {"", "bytes=1048576-"}},
        {"RangeIgnored", {{Kind::Drop, 1 << 20}, {Kind::IgnoreRange}}, {"", "bytes=1048576-"}},
        {"Refused416", {{Kind::Drop, 1 << 20}, {Kind::Refuse416}}, {"", "bytes=1048576-", ""}},
        {"Stalled", {{Kind::Stall, 64 << 10}}, {"", "bytes=65536-"}},
        {"ErrorPage", {{Kind::Status, 0, 500}}, {"", ""}},
    };
    const std::string content = generated(size);
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        const std::string path = "/" + test.name;
        server.serve(path, content);
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
