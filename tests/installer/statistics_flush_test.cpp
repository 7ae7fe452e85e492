// Runs in a private network namespace: port 80 on 127.0.0.1 belongs to these tests.
#include "StatisticsManager.h"
#include "core/statistics/client.h"
#include "support/http_test_server.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

using namespace std::chrono_literals;

namespace {

// A queued client over the loopback receiver, as the installer's own is over the real hosts.
StatisticsManager loopbackManager(StatisticsManager::Probes probes = {}) {
    auto client = std::make_shared<Statistics::Client>();
    client->initServerClient("http://127.0.0.1", true);
    client->initLogServiceClient("http://127.0.0.1", "token", true);
    return StatisticsManager(client, std::move(probes));
}

// How long the final flush of the manager took.
std::chrono::steady_clock::duration flushing(StatisticsManager& manager, std::chrono::milliseconds bound) {
    const auto start = std::chrono::steady_clock::now();
    manager.flushBeforeExit(bound);
    return std::chrono::steady_clock::now() - start;
}

// Checks that the server got exactly the two events of one action with the given status.
void expectOneActionDelivered(const testing_support::HttpTestServer& server, const std::string& status) {
    std::vector<std::string> requestLines;
    for (const auto& request : server.requests()) {
        requestLines.push_back(request.method + " " + request.path);
        EXPECT_NE(request.body.find("\"" + status + "\""), std::string::npos) << request.body;
    }
    std::sort(requestLines.begin(), requestLines.end());
    EXPECT_EQ(requestLines, (std::vector<std::string>{"POST /action", "POST /bulk/token/tag/ravelune,Dovarirovev,status"}));
}

}  // namespace

// As when a failed batch reports on its worker while the main thread ends the application: the
// call is still probing when the final flush begins.
TEST(StatisticsFinalFlush, DeliversACallStillUnderWayWithoutWaitingForThePeriod) {
    testing_support::LogCapture log;
    std::promise<void> probing;
    StatisticsManager::Probes probes;
    probes.hardwareId = [&] {
        probing.set_value();
        std::this_thread::sleep_for(400ms);
        return std::string("HWID-1");
    };
    StatisticsManager manager = loopbackManager(probes);
    testing_support::HttpTestServer server(80, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    manager.sendAction(36);
    probing.get_future().wait();
    EXPECT_LT(flushing(manager, 3s), 1500ms);
    EXPECT_TRUE(log.containsLine("INFO Action statistics with event status 36 has been sent."));
    expectOneActionDelivered(server, "36");
}

TEST(StatisticsFinalFlush, ReturnsAtItsBoundWhenTheReceiverIsSilent) {
    StatisticsManager manager = loopbackManager();
    testing_support::HttpTestServer silent(80, "");  // accepts, reads, never answers
    manager.sendAction(22);
    const auto took = flushing(manager, 300ms);
    EXPECT_GE(took, 250ms);
    EXPECT_LT(took, 600ms);
}

// The first call is still probing when the final flush begins, the second never ends: the
// first call's events go out as soon as it ends, and the flush returns at its bound.
TEST(StatisticsFinalFlush, AHungProbeHoldsUpNeitherItsCallNorTheFlushNorTheCallBeforeIt) {
    std::promise<void> release;
    const std::shared_future<void> released = release.get_future().share();
    std::atomic<int> calls{0};
    StatisticsManager::Probes probes;
    probes.hardwareId = [&] {
        if (++calls == 1) {
            std::this_thread::sleep_for(200ms);
        } else {
            released.wait_for(10s);
        }
        return std::string("HWID-1");
    };
    StatisticsManager manager = loopbackManager(probes);
    testing_support::HttpTestServer server(80, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    manager.sendAction(31);
    manager.sendAction(21);  // returns while its probe hangs
    const auto took = flushing(manager, 1s);
    EXPECT_GE(took, 950ms);
    EXPECT_LT(took, 1300ms);
    expectOneActionDelivered(server, "31");
    release.set_value();
}
