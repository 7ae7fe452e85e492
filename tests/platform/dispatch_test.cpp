#include "platform/Dispatch.h"
#include "platform/RunLoop.h"
#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using platform::RunLoop;
namespace dispatch = platform::dispatch;

TEST(MainQueue, BlocksPostedFromWorkersRunOnTheMainThreadInPostingOrder) {
    std::vector<int> order;
    std::atomic<bool> allOnMain{true};
    std::thread worker([&] {
        for (int i = 0; i < 200; ++i) {
            dispatch::asyncMain([&, i] {
                allOnMain = allOnMain && RunLoop::isMainThread();
                order.push_back(i);
            });
        }
    });
    worker.join();
    ASSERT_TRUE(RunLoop::runUntil([&] { return order.size() == 200; }, 5s));
    EXPECT_TRUE(allOnMain);
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(order[static_cast<std::size_t>(i)], i);
    }
}

TEST(MainQueue, DelayedCallDoesNotRunEarly) {
    const auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point ranAt{};
    dispatch::afterMain(150ms, [&] { ranAt = std::chrono::steady_clock::now(); });
    RunLoop::runFor(50ms);
    EXPECT_EQ(ranAt, std::chrono::steady_clock::time_point{});
    ASSERT_TRUE(RunLoop::runUntil([&] { return ranAt != std::chrono::steady_clock::time_point{}; }, 5s));
    EXPECT_GE(ranAt - start, 150ms);
}

TEST(GlobalQueue, BlocksRunOffTheMainThread) {
    std::atomic<int> onMain{0};
    std::atomic<int> ran{0};
    for (int i = 0; i < 20; ++i) {
        dispatch::asyncGlobal([&] {
            onMain += RunLoop::isMainThread() ? 1 : 0;
            ++ran;
        });
    }
    ASSERT_TRUE(RunLoop::runUntil([&] { return ran == 20; }, 5s));
    EXPECT_EQ(onMain, 0);
}

TEST(GlobalQueue, BlocksThatWaitForeverDoNotHoldBackOthers) {
    // Many blocks stay blocked on a semaphore; a later block must still run.
    auto gate = dispatch::Semaphore::create(0);
    constexpr int blockers = 64;
    for (int i = 0; i < blockers; ++i) {
        dispatch::asyncGlobal([gate] { gate->wait(); });
    }
    std::atomic<bool> laterRan{false};
    dispatch::asyncGlobal([&] { laterRan = true; });
    EXPECT_TRUE(RunLoop::runUntil([&] { return laterRan.load(); }, 5s));
    for (int i = 0; i < blockers; ++i) {
        gate->signal();
    }
}

// At the system's limit of threads, a block that no worker can take is refused, and never runs
// later when a worker frees up.
TEST(GlobalQueue, ABlockNoWorkerCanTakeIsRefusedAndNeverRuns) {
    auto gate = dispatch::Semaphore::create(0);
    dispatch::asyncGlobal([gate] { gate->wait(); });
    platform::setThreadStartsAllowedForTesting(0);
    std::atomic<bool> ran{false};
    EXPECT_THROW(dispatch::asyncGlobal([&] { ran = true; }), std::system_error);
    gate->signal();
    // Once the one worker takes a block again, it has run whatever was queued before.
    const auto takes = [] {
        try {
            dispatch::asyncGlobal([] {});
            return true;
        } catch (const std::system_error&) {
            return false;
        }
    };
    EXPECT_TRUE(RunLoop::runUntil(takes, 5s));
    platform::setThreadStartsAllowedForTesting(std::nullopt);
    EXPECT_FALSE(ran);
}

TEST(Semaphore, SignalBeforeWaitIsRemembered) {
    dispatch::Semaphore semaphore(0);
    semaphore.signal();
    EXPECT_TRUE(semaphore.waitFor(0ms));
    EXPECT_FALSE(semaphore.waitFor(20ms));
}

TEST(Semaphore, WaitEndsWhenAnotherThreadSignals) {
    auto semaphore = dispatch::Semaphore::create(0);
    std::atomic<bool> passed{false};
    std::thread waiter([&] {
        semaphore->wait();
        passed = true;
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(passed);
    semaphore->signal();
    waiter.join();
    EXPECT_TRUE(passed);
}
