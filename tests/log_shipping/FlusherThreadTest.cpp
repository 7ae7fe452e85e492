#include "log_shipping/FlusherThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace std::chrono;
using namespace std::chrono_literals;

namespace {

// Records when each callback started; a callback may be made to take a while.
class RecordingClient : public log4cplus::helpers::IFlusherThreadClient {
public:
    explicit RecordingClient(milliseconds callbackDuration = 0ms) : duration(callbackDuration) {}

    void ftcFlush() override {
        const int number = ++calls;
        if (number == 1) {
            firstCall = steady_clock::now();
        } else if (number == 2) {
            secondCall = steady_clock::now();
        }
        inCallback = true;
        std::this_thread::sleep_for(duration);
        inCallback = false;
        ++finished;
    }

    const milliseconds duration;
    std::atomic<int> calls{0};
    std::atomic<int> finished{0};
    std::atomic<bool> inCallback{false};
    steady_clock::time_point firstCall;
    steady_clock::time_point secondCall;
};

using FlusherPtr = log4cplus::helpers::SharedObjectPtr<log4cplus::helpers::FlusherThread>;

FlusherPtr startFlusher(RecordingClient& client, unsigned long interval) {
    FlusherPtr flusher(new log4cplus::helpers::FlusherThread(client, interval));
    flusher->start();
    return flusher;
}

bool waitFor(const std::atomic<int>& value, int wanted, milliseconds timeout) {
    const auto end = steady_clock::now() + timeout;
    while (value < wanted && steady_clock::now() < end) {
        std::this_thread::sleep_for(1ms);
    }
    return value >= wanted;
}

TEST(FlusherThreadTest, CallsBackOneIntervalAfterStartThenIntervalPlusCallbackApart) {
    RecordingClient client(100ms);
    const auto started = steady_clock::now();
    FlusherPtr flusher = startFlusher(client, 200);
    ASSERT_TRUE(waitFor(client.calls, 2, 5s));
    flusher->terminate();

    EXPECT_GE(client.firstCall - started, 195ms);
    EXPECT_LT(client.firstCall - started, 1000ms);
    EXPECT_GE(client.secondCall - client.firstCall, 295ms);  // the wait begins after the callback
}

TEST(FlusherThreadTest, TerminateDuringTheWaitEndsAtOnceWithoutCallback) {
    RecordingClient client;
    FlusherPtr flusher = startFlusher(client, 10000);
    std::this_thread::sleep_for(100ms);
    const auto asked = steady_clock::now();
    flusher->terminate();
    EXPECT_LT(steady_clock::now() - asked, 2s);
    EXPECT_EQ(client.calls, 0);
}

TEST(FlusherThreadTest, TerminateDuringACallbackWaitsForItAndNoneFollows) {
    RecordingClient client(400ms);
    FlusherPtr flusher = startFlusher(client, 50);
    ASSERT_TRUE(waitFor(client.calls, 1, 5s));
    ASSERT_TRUE(client.inCallback);
    flusher->terminate();
    EXPECT_EQ(client.finished, client.calls.load());
    EXPECT_FALSE(client.inCallback);

    const int callsAtTerminate = client.calls;
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(client.calls, callsAtTerminate);
    EXPECT_EQ(callsAtTerminate, 1);
}

TEST(FlusherThreadTest, TerminateRightAfterStartIsNotMissed) {
    for (int round = 0; round < 50; ++round) {
        RecordingClient client;
        FlusherPtr flusher = startFlusher(client, 10000);
        const auto asked = steady_clock::now();
        flusher->terminate();
        EXPECT_LT(steady_clock::now() - asked, 2s);
        EXPECT_EQ(client.calls, 0);
    }
}

class ThrowingClient : public log4cplus::helpers::IFlusherThreadClient {
public:
    void ftcFlush() override {
        ++calls;
        throw std::runtime_error("flush failed");
    }
    std::atomic<int> calls{0};
};

TEST(FlusherThreadTest, ExceptionFromCallbackEndsTheThreadAndTerminateStillJoins) {
    ThrowingClient client;
    FlusherPtr flusher(new log4cplus::helpers::FlusherThread(client, 20));
    flusher->start();
    ASSERT_TRUE(waitFor(client.calls, 1, 5s));
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(client.calls, 1);
    flusher->terminate();
}

}  // namespace
