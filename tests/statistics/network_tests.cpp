// Runs in a private network namespace: port 80 on 127.0.0.1 belongs to these tests.
#include "core/statistics/async_transport/multi_queue_transport.h"
#include "core/statistics/client.h"
#include "core/statistics/sync_transport/posix/http_transport.h"

#include "support/http_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

using Statistics::SyncTransport::Posix::HttpTransport;
using testing_support::HttpTestServer;

namespace {
const std::string okReply = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";

double secondsOf(const std::function<void()>& work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
} // namespace

TEST(HttpTransportTest, PostsTheExactRequest)
{
    HttpTestServer server(80, okReply);
    HttpTransport transport;
    EXPECT_TRUE(transport.send("http://127.0.0.1/a/b,c", "{\"k\":\"v\"}"));
    EXPECT_TRUE(transport.send("http://127.0.0.1/e", ""));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].raw, "POST /a/b,c HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent:Statistics\r\n"
                           "Accept:application/json\r\nContent-Type:application/json\r\n"
                           "Content-Length:9\r\n\r\n{\"k\":\"v\"}");
    EXPECT_NE(requests[1].raw.find("Content-Length:0\r\n\r\n"), std::string::npos);
    EXPECT_EQ(requests[1].raw.substr(requests[1].raw.size() - 4), "\r\n\r\n");
    // A port in the host text is handed to name resolution as it stands and fails.
    EXPECT_FALSE(transport.send("http://127.0.0.1:80/a", "x"));
    EXPECT_THROW(transport.send("http://127.0.0.1", "x"), std::out_of_range);
}

TEST(HttpTransportTest, DeliveryMeansAnyNonEmptyReply)
{
    HttpTransport transport;
    EXPECT_FALSE(transport.send("http://127.0.0.1/refused", "x"));
    {
        HttpTestServer server(80, "HTTP/1.1 500 Internal Server Error\r\n\r\n");
        EXPECT_TRUE(transport.send("http://127.0.0.1/a", "x"));
    }
    {
        HttpTestServer server(80, std::string(10000, 'r'));
        EXPECT_TRUE(transport.send("http://127.0.0.1/a", std::string(100000, 'b')));
        EXPECT_EQ(server.bodies().at(0).size(), 100000u);
    }
    {
        HttpTestServer silent(80, "");
        bool delivered = true;
        const double seconds = secondsOf([&] { delivered = transport.send("http://127.0.0.1/a", "x"); });
        EXPECT_FALSE(delivered);
        EXPECT_GT(seconds, 0.9);
        EXPECT_LT(seconds, 1.4);
    }
}

TEST(HttpTransportTest, UnansweredConnectIsBoundedAndFails)
{
    // A listener whose accept queue is full drops further connection attempts unanswered.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(80);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(filler);
    }
    ::usleep(200 * 1000);
    HttpTransport transport;
    bool delivered = true;
    const double seconds = secondsOf([&] { delivered = transport.send("http://127.0.0.1/a", "x"); });
    EXPECT_FALSE(delivered);
    EXPECT_LT(seconds, 4.5);
    for (int filler : fillers)
        ::close(filler);
    ::close(listener);
}

TEST(QueuedDeliveryTest, FinalFlushPostsBatchesOverHttp)
{
    HttpTestServer server(80, okReply);
    {
        auto transport = Statistics::makeAsyncTransport(1000, 20000, 20);
        for (int i = 0; i < 45; ++i)
            transport->send("http://127.0.0.1/bulk", std::to_string(i));
    }
    const auto bodies = server.bodies();
    ASSERT_EQ(bodies.size(), 3u);
    EXPECT_EQ(bodies[2], "40\r\n41\r\n42\r\n43\r\n44\r\n");
}

TEST(QueuedDeliveryTest, UnreachableReceiverKeepsBodiesQueued)
{
    using Statistics::AsyncTransport::MultiQueueTransport;
    auto transport = std::make_unique<MultiQueueTransport>(std::make_shared<HttpTransport>(),
                                                           MultiQueueTransport::Settings{1000, 1, 60000});
    transport->send("http://127.0.0.1/a", "1");
    transport->send("http://127.0.0.1/b", "2");
    transport->onTimer();
    EXPECT_EQ(transport->totalCount(), 2u);
    HttpTestServer server(80, okReply);
    transport.reset();
    EXPECT_EQ(server.requests().size(), 2u);
}

TEST(ClientTest, SynchronousClientPostsBothEventsWithOneStampedTime)
{
    HttpTestServer server(80, okReply);
    auto client = std::make_shared<Statistics::Client>();
    client->sendAction(AppStatistics{}); // nothing set up: nothing sent
    client->initServerClient("http://127.0.0.1", false);
    client->initLogServiceClient("http://127.0.0.1", "tok", false);
    AppStatistics record;
    record.eventSource = "Dovarirovev";
    record.eventStatus = 22;
    client->sendAction(record);
    client->sendException(record);
    EXPECT_EQ(record.eventTime.time_since_epoch().count(), 0);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].raw.rfind("POST /action HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(requests[1].raw.rfind("POST /bulk/tok/tag/ravelune,Dovarirovev,status HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(requests[2].raw.rfind("POST /exception HTTP/1.1\r\n", 0), 0u);
    const auto bodies = server.bodies();
    const std::string time = bodies[0].substr(bodies[0].find("\"installDate\":\"") + 15, 24);
    EXPECT_NE(bodies[1].find("\"timestamp\":\"" + time + "\""), std::string::npos);
    EXPECT_EQ(bodies[0].substr(bodies[0].size() - 2), "\"}"); // no CR LF when posted at once
}

TEST(ClientTest, AsynchronousClientFlushesWhenReleased)
{
    HttpTestServer server(80, okReply);
    auto client = std::make_shared<Statistics::Client>();
    client->initServerClient("http://127.0.0.1", true);
    client->initLogServiceClient("http://127.0.0.1", "tok", true);
    client->sendSystemInfo(AppStatistics{});
    EXPECT_TRUE(server.requests().empty());
    client.reset();
    const auto bodies = server.bodies();
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_EQ(bodies[0].substr(bodies[0].size() - 2), "\r\n");
}
