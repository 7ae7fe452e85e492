#include "download_fixture.h"

namespace fs = std::filesystem;
using testing_support::HttpTestServer;
using Kind = HttpTestServer::FaultKind;

namespace {

// Every faulty server ends in the whole file or the alert well within this bound.
constexpr auto bound = std::chrono::seconds(15);

class DownloadFaults : public DownloadTest {
protected:
    static constexpr std::int64_t size = 2 << 20;
    void SetUp() override {
        DownloadTest::SetUp();
        content = generated(size);
        server.serve("/engine", content);
    }
    // Runs a download against the faults given and expects the whole file.
    void expectWholeFile() {
        auto step = downloader("Engine", "/engine");
        ASSERT_TRUE(run(*step, bound));
        ASSERT_EQ(observer.events.back(), "finished") << (observer.error ? observer.error->description() : "");
        EXPECT_EQ(checksum(testing_support::readFile(tmp() / "Engine")), checksum(content));
        EXPECT_EQ(codes, (std::vector<std::int64_t>{4, 5}));
    }
    std::vector<HttpTestServer::Request> gets() {
        std::vector<HttpTestServer::Request> found;
        for (const auto& request : server.requests()) {
            if (request.method == "GET") {
                found.push_back(request);
            }
        }
        return found;
    }
    std::string content;
};

}  // namespace

TEST_F(DownloadFaults, ADroppedConnectionIsResumedFromWhereItBroke) {
    server.addFault("/engine", {Kind::Drop, 1 << 20});
    expectWholeFile();
    const auto requests = gets();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].range, "bytes=1048576-");
}

TEST_F(DownloadFaults, AServerThatIgnoresTheRangeGivesTheWholeFileAgain) {
    server.addFault("/engine", {Kind::Drop, 1 << 20});
    server.addFault("/engine", {Kind::IgnoreRange});
    expectWholeFile();
    EXPECT_EQ(gets().size(), 2u);
}

TEST_F(DownloadFaults, A416ToTheResumeStartsOverFromTheFirstByte) {
    server.addFault("/engine", {Kind::Drop, 1 << 20});
    server.addFault("/engine", {Kind::Refuse416});
    expectWholeFile();
    const auto requests = gets();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1].range, "bytes=1048576-");
    EXPECT_EQ(requests[2].range, "");
}

TEST_F(DownloadFaults, AStalledServerIsLeftAfterTheStallLimitAndTheRestFetched) {
    server.addFault("/engine", {Kind::Stall, 64 << 10});
    expectWholeFile();
    EXPECT_EQ(gets().size(), 2u);
}

TEST_F(DownloadFaults, AnErrorPageIsNeverTakenForTheFile) {
    server.addFault("/engine", {Kind::Status, 0, 500});
    expectWholeFile();
}

TEST_F(DownloadFaults, AServerThatKeepsFailingEndsInTheDownloaderAlert) {
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
    EXPECT_EQ(gets().size(), 5u);  // the first try and four more
    EXPECT_FALSE(fs::exists(tmp() / "Engine"));
    EXPECT_EQ(codes, std::vector<std::int64_t>{4});
}

TEST_F(DownloadFaults, ARefusedConnectionEndsInTheDownloaderAlert) {
    auto step = downloader("Engine", "/engine");
    step->entry()->sourceUrl = "http://127.0.0.1:1/engine";

    ASSERT_TRUE(run(*step, bound));

    ASSERT_TRUE(observer.error);
    EXPECT_EQ(observer.error->domain(), "Downloader");
}
