#include "core/statistics/async_transport/active_timer.h"
#include "core/statistics/async_transport/multi_queue_transport.h"
#include "core/statistics/async_transport/ring_buffer.h"

#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>

using Statistics::AsyncTransport::MultiQueueTransport;
using Statistics::AsyncTransport::RingBuffer;

namespace {

// Inner transport whose answer the test chooses; counts posts and records bodies.
struct ScriptedTransport : Statistics::Transport {
    std::mutex mutex;
    bool deliver = true;
    bool throwFor = false;
    std::vector<std::pair<std::string, std::string>> posts;
    bool send(const std::string& url, const std::string& body) override
    {
        std::lock_guard lock(mutex);
        posts.emplace_back(url, body);
        if (throwFor && url == "bad")
            throw std::runtime_error("malformed");
        return deliver;
    }
};

} // namespace

TEST(RingBufferTest, HoldsCapacityMinusOneAndDropsOldest)
{
    RingBuffer<std::string> ring(1000);
    for (int i = 0; i < 999; ++i)
        EXPECT_TRUE(ring.push(std::to_string(i)));
    EXPECT_EQ(ring.size(), 999);
    EXPECT_FALSE(ring.push("999"));
    EXPECT_EQ(ring.size(), 999);
    const auto items = ring.peek(1000);
    EXPECT_EQ(items.front(), "1");
    EXPECT_EQ(items.back(), "999");

    RingBuffer<std::string> tiny(1);
    EXPECT_FALSE(tiny.push("x"));
    EXPECT_EQ(tiny.size(), 0);
    EXPECT_THROW(tiny.pop(), std::runtime_error);
    EXPECT_THROW(RingBuffer<std::string>(0), std::runtime_error);
}

TEST(RingBufferTest, WrapsAround)
{
    RingBuffer<std::string> ring(1000);
    for (int i = 0; i < 995; ++i) {
        ring.push("old");
        ring.pop();
    }
    for (int i = 0; i < 10; ++i)
        ring.push(std::to_string(i));
    EXPECT_EQ(ring.size(), 10); // head 995, tail 5
    const auto items = ring.peek(20);
    ASSERT_EQ(items.size(), 10u);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(items[i], std::to_string(i));
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(ring.pop(), std::to_string(i));
    EXPECT_EQ(ring.size(), 0);
}

TEST(MultiQueueTransportTest, BatchesAreJoinedWithCrLfAfterEveryItem)
{
    auto inner = std::make_shared<ScriptedTransport>();
    {
        MultiQueueTransport transport(inner, {1000, 20, 60000});
        for (int i = 0; i < 45; ++i)
            transport.send("u", "b" + std::to_string(i));
        transport.onTimer();
        EXPECT_EQ(transport.totalCount(), 0u);
    }
    ASSERT_EQ(inner->posts.size(), 3u);
    std::string expected;
    for (int i = 0; i < 20; ++i)
        expected += "b" + std::to_string(i) + "\r\n";
    EXPECT_EQ(inner->posts[0].second, expected);
    EXPECT_EQ(inner->posts[2].second, "b40\r\nb41\r\nb42\r\nb43\r\nb44\r\n");
}

TEST(MultiQueueTransportTest, FailedPostKeepsEverythingAndEndsThePass)
{
    auto inner = std::make_shared<ScriptedTransport>();
    inner->deliver = false;
    {
        MultiQueueTransport transport(inner, {0, 0, 60000}); // batch 1, capacity 1000
        for (const char* url : {"a", "b", "c"})
            for (int i = 0; i < 3; ++i)
                transport.send(url, "x");
        transport.onTimer();
        EXPECT_EQ(inner->posts.size(), 1u);
        EXPECT_EQ(inner->posts[0].second, "x\r\n");
        EXPECT_EQ(transport.totalCount(), 9u);
        inner->deliver = true;
    } // the destructor's final pass delivers what is left
    EXPECT_EQ(inner->posts.size(), 10u);
}

TEST(MultiQueueTransportTest, ThrowingAddressKeepsItsBodiesAndDoesNotStopOthers)
{
    auto inner = std::make_shared<ScriptedTransport>();
    inner->throwFor = true;
    MultiQueueTransport transport(inner, {1000, 1, 60000});
    transport.send("bad", "1");
    transport.send("good", "2");
    EXPECT_NO_THROW(transport.onTimer());
    EXPECT_EQ(transport.totalCount(), 1u);
}

TEST(MultiQueueTransportTest, AcceptsAtMostOneHundredAddresses)
{
    auto inner = std::make_shared<ScriptedTransport>();
    inner->deliver = false;
    MultiQueueTransport transport(inner, {1000, 1, 60000});
    for (int i = 0; i < 100; ++i)
        transport.send("u" + std::to_string(i), "x");
    try {
        transport.send("u100", "x");
        FAIL();
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "MultiQueueTransport: exceeded max count different URL's");
    }
    EXPECT_TRUE(transport.send("u0", "y"));
    EXPECT_EQ(transport.totalCount(), 101u);
}

TEST(ActiveTimerTest, CallsTargetPeriodicallyUntilStopped)
{
    EXPECT_THROW(Statistics::AsyncTransport::ActiveTimer(0, {}), std::runtime_error);
    std::atomic<int> calls{0};
    Statistics::AsyncTransport::ActiveTimer timer(0, [&] { ++calls; });
    // Waits for calls rather than for a time, so that a loaded machine cannot fail it; a timer
    // that polls every 100 ms calls at most once a poll, never in a busy loop.
    const auto started = std::chrono::steady_clock::now();
    timer.start();
    timer.start();
    while (calls < 3 && std::chrono::steady_clock::now() - started < std::chrono::seconds(10))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto polls = (std::chrono::steady_clock::now() - started) / std::chrono::milliseconds(100);
    timer.stop();
    const int seen = calls;
    EXPECT_GE(seen, 3);
    EXPECT_LE(seen, polls + 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(calls, seen);
    timer.stop();

    std::atomic<int> late{0};
    Statistics::AsyncTransport::ActiveTimer slow(10000, [&] { ++late; });
    slow.start();
    slow.stop();
    EXPECT_EQ(late, 0);
}

TEST(MultiQueueTransportTest, TimerFlushesAfterTheInterval)
{
    auto inner = std::make_shared<ScriptedTransport>();
    MultiQueueTransport transport(inner, {1000, 1, 200});
    transport.send("u", "x");
    for (int i = 0; i < 30 && transport.totalCount() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(transport.totalCount(), 0u);
}
