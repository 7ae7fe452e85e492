// Runs in a private network namespace: port 80 on 127.0.0.1 belongs to these tests.
#include "StatisticsManager.h"
#include "core/statistics/client.h"
#include "loopback_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

using namespace std::chrono_literals;

namespace {

// A queued client over the loopback receiver, as the installer's own is over the real hosts.
StatisticsManager loopbackManager() {
    auto client = std::make_shared<Statistics::Client>();
    client->initServerClient("http://127.0.0.1", true);
    client->initLogServiceClient("http://127.0.0.1", "token", true);
    return StatisticsManager(client, {});
}

// How long the final flush of the manager took.
std::chrono::steady_clock::duration flushing(StatisticsManager& manager, std::chrono::milliseconds bound) {
    const auto start = std::chrono::steady_clock::now();
    manager.flushBeforeExit(bound);
    return std::chrono::steady_clock::now() - start;
}

}  // namespace

TEST(StatisticsFinalFlush, DeliversWhatIsQueuedWithoutWaitingForThePeriod) {
    StatisticsManager manager = loopbackManager();
    testing_support::HttpTestServer server(80);
    server.setReply("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    manager.sendAction(36);
    EXPECT_LT(flushing(manager, 3s), 1500ms);

    std::vector<std::string> requestLines;
    for (const auto& request : server.requests()) {
        requestLines.push_back(request.method + " " + request.path);
        EXPECT_NE(request.body.find("\"36\""), std::string::npos) << request.body;
    }
    std::sort(requestLines.begin(), requestLines.end());
    EXPECT_EQ(requestLines, (std::vector<std::string>{"POST /action", "POST /bulk/token/tag/ravelune,Dovarirovev,status"}));
}

TEST(StatisticsFinalFlush, ReturnsAtItsBoundWhenTheReceiverIsSilent) {
    StatisticsManager manager = loopbackManager();
    LoopbackServer silent("");  // accepts, reads, never answers
    manager.sendAction(22);
    const auto took = flushing(manager, 300ms);
    EXPECT_GE(took, 250ms);
    EXPECT_LT(took, 600ms);
}
