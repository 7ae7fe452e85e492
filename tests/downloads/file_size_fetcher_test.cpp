#include "FileSizeFetcher.h"
#include "Formatters.h"
#include "download_fixture.h"

namespace {

// Notes the sizes into the step's own record, so their order against the step's report shows.
struct SizeReceiver : FileSizeFetcherDelegate {
    explicit SizeReceiver(StepObserver& steps) : observer(steps) {}
    void fileSizeFetcherDidCalculateFileSizesForUrls(FileSizeFetcher*, const std::vector<std::int64_t>& measured,
                                                     const std::vector<std::string>& forUrls) override {
        sizes = measured;
        urls = forUrls;
        observer.events.push_back("sizes");
    }
    StepObserver& observer;
    std::vector<std::int64_t> sizes;
    std::vector<std::string> urls;
};

class FileSizes : public DownloadTest {
protected:
    // Runs a fetcher over the addresses until it reports.
    void measure(const std::vector<std::string>& urls) {
        auto fetcher = std::make_shared<FileSizeFetcher>(urls);
        fetcher->setDelegate(&receiver);
        fetcher->setTaskDelegate(&observer);
        fetcher->execute();
        ASSERT_TRUE(platform::RunLoop::runUntil([&] { return observer.reported(); }, std::chrono::seconds(10)));
    }
    SizeReceiver receiver{observer};
};

}  // namespace

// A server that refuses HEAD states the length of its error page, which is no size of the file.
TEST_F(FileSizes, OneHeadRequestEachWithMinusOneWhereNoLengthIsStated) {
    server.serve("/a", std::string(100, 'a'));
    server.serve("/b", std::string(200, 'b'));
    server.serve("/c", std::string(50, 'c'), false);
    testing_support::HttpTestServer refusing(0, "HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 30\r\n\r\n");
    const std::vector<std::string> urls{server.url("/a"), server.url("/b"), server.url("/c"), refusing.url("/d")};

    measure(urls);

    EXPECT_EQ(receiver.sizes, (std::vector<std::int64_t>{100, 200, -1, -1}));
    EXPECT_EQ(receiver.urls, urls);
    const std::string label = "Fetching file sizes for downloading";
    EXPECT_EQ(observer.events, (std::vector<std::string>{label, label, label, label, "sizes", "finished"}));
    for (const auto& request : server.requests()) {
        EXPECT_EQ(request.method, "HEAD");
    }
    EXPECT_TRUE(logLines.contains("File size is " + Formatters::stringFromBytes(200) + " for url \"" + urls[1] + "\""));
    EXPECT_TRUE(logLines.contains("Full size is " + Formatters::stringFromBytes(298)));
}

TEST_F(FileSizes, NoAddressesStillReportsAnEmptyListAndFinishes) {
    measure({});

    EXPECT_EQ(observer.events, (std::vector<std::string>{"sizes", "finished"}));
    EXPECT_TRUE(logLines.contains("Full size is " + Formatters::stringFromBytes(0)));
}
