// Runs in a private network namespace: port 80 on 127.0.0.1 belongs to these tests.
#include "StatisticsManager.h"
#include "core/statistics/client.h"
#include "loopback_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>

using namespace std::chrono_literals;

namespace {

const std::string okReply = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";

// A queued client over the loopback receiver, as the installer's own is over the real hosts.
std::shared_ptr<Statistics::Client> loopbackClient() {
    auto client = std::make_shared<Statistics::Client>();
    client->initServerClient("http://127.0.0.1", true);
    client->initLogServiceClient("http://127.0.0.1", "token", true);
    return client;
}

StatisticsManager::Probes quietProbes() {
    StatisticsManager::Probes probes;
    probes.hardwareId = [] { return "HWID-1"; };
    return probes;
}

std::chrono::milliseconds timeOf(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

}  // namespace

TEST(StatisticsFinalFlush, DeliversWhatIsQueuedWithoutWaitingForThePeriod) {
    StatisticsManager manager(loopbackClient(), quietProbes());
    LoopbackServer server(okReply);
    manager.sendAction(36);
    const auto took = timeOf([&] { manager.flushBeforeExit(); });
    EXPECT_LT(took, 1500ms);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    std::vector<std::string> lines = {requests[0].substr(0, requests[0].find("\r\n")),
                                      requests[1].substr(0, requests[1].find("\r\n"))};
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines[0], "POST /action HTTP/1.1");
    EXPECT_EQ(lines[1], "POST /bulk/token/tag/ravelune,Dovarirovev,status HTTP/1.1");
    for (const std::string& body : server.bodies()) {
        EXPECT_NE(body.find("\"36\""), std::string::npos) << body;
    }
}

TEST(StatisticsFinalFlush, ReturnsAtItsBoundWhenTheReceiverIsSilent) {
    StatisticsManager manager(loopbackClient(), quietProbes());
    LoopbackServer silent("");  // accepts, reads, never answers
    for (int code = 1; code <= 5; ++code) {
        manager.sendAction(code);
    }
    const auto took = timeOf([&] { manager.flushBeforeExit(300ms); });
    EXPECT_GE(took, 250ms);
    EXPECT_LT(took, 600ms);
}
