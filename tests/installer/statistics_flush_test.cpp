// Runs in a private network namespace: port 80 on 127.0.0.1 belongs to these tests.
#include "PlatformInfo.h"
#include "StatisticsManager.h"
#include "core/statistics/client.h"
#include "support/http_test_server.h"
#include "support/log_capture.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
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

// Probes whose hardware id, asked first by every call, says when it is asked and answers after
// `taking`: the first call is still probing when the test goes on.
StatisticsManager::Probes slowFirstCall(std::promise<void>& probing, std::chrono::milliseconds taking) {
    StatisticsManager::Probes probes;
    probes.hardwareId = [&probing, taking] {
        probing.set_value();
        std::this_thread::sleep_for(taking);
        return std::string("HWID-1");
    };
    return probes;
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
    StatisticsManager manager = loopbackManager(slowFirstCall(probing, 400ms));
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

// The first call is slow: it is still probing when the final flush begins, and its events then go
// out to a host that never answers. The next call hands its events over behind that post, which
// holds the client for a second: the flush still ends at its bound, and that call logs nothing.
TEST(StatisticsFinalFlush, ReturnsAtItsBoundWhileACallWaitsBehindAPostInFlight) {
    testing_support::LogCapture log;
    testing_support::HttpTestServer silent(80, "");  // accepts, reads, never answers
    std::promise<void> probing;
    StatisticsManager::Probes probes = slowFirstCall(probing, 100ms);
    probes.ramFree = [&] {
        (void)silent.waitForRequests(1, 2s);
        return std::string("1.00Gb");
    };
    {
        StatisticsManager manager = loopbackManager(probes);
        manager.sendAction(22);
        manager.sendSystemInfo(0);
        probing.get_future().wait();
        EXPECT_LT(flushing(manager, 500ms), 600ms);
    }  // the second call has handed its events over once the facade is gone
    EXPECT_EQ(log.lines(), std::vector<std::string>{"INFO Action statistics with event status 22 has been sent."});
}

// The first call has ended when the final flush begins, its events held for the next period; the
// second call's probe hangs in its child. The held events go out at once, beside that probe; at
// its bound the flush ends the hung call, which afterwards neither logs nor sends anything.
TEST(StatisticsFinalFlush, HeldEventsGoOutAtOnceAndAHungCallIsEndedAtTheBound) {
    testing_support::TempDir tools;
    // A "df" that answers after 2 s, noting whether the probe still waited for it then.
    const std::filesystem::path ended = tools.path() / "df-ended";
    const std::filesystem::path waitedFor = tools.path() / "df-waited-for";
    testing_support::writeFile(tools.path() / "df", "#!/bin/sh\nsleep 2\nkill -0 $PPID && touch '" + waitedFor.string() +
                                                        "'\ntouch '" + ended.string() +
                                                        "'\necho '/dev/root 10G 5G 1.5G 50% /'\n");
    std::filesystem::permissions(tools.path() / "df", std::filesystem::perms::owner_all);
    const std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin:/bin";
    setenv("PATH", (tools.path().string() + ":" + path).c_str(), 1);
    testing_support::LogCapture log;
    testing_support::HttpTestServer server(80, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    std::promise<void> probing;
    std::atomic<bool> heldWentOut{false};
    StatisticsManager::Probes probes;
    probes.ramFree = [&] {
        probing.set_value();
        heldWentOut = server.waitForRequests(2, 500ms);
        return std::string("1.00Gb");
    };
    probes.hddFreeSpace = PlatformInfo::hddFreeSpace;
    StatisticsManager manager = loopbackManager(probes);
    manager.sendAction(31);
    manager.sendSystemInfo(0);  // returns while its probes run
    probing.get_future().wait();
    const auto took = flushing(manager, 1s);
    EXPECT_TRUE(heldWentOut);
    EXPECT_LT(took, 1050ms);
    for (int waited = 0; waited < 100 && !std::filesystem::exists(ended); ++waited) {
        std::this_thread::sleep_for(50ms);
    }
    std::this_thread::sleep_for(200ms);  // what the hung call would do once its child ended
    EXPECT_FALSE(std::filesystem::exists(waitedFor)) << "the hung probe's command outlived the flush";
    EXPECT_EQ(log.lines(), std::vector<std::string>{"INFO Action statistics with event status 31 has been sent."});
    expectOneActionDelivered(server, "31");
    setenv("PATH", path.c_str(), 1);
}
