#include "platform/RunLoop.h"
#include "platform/Timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace std::chrono_literals;
using platform::RunLoop;
using platform::Timer;

TEST(Timer, RepeatsOnTheMainThreadUntilInvalidatedAndOutlivesTheCallersReference) {
    int fired = 0;
    bool allOnMain = true;
    Timer::scheduled(20ms, true, [&](Timer& timer) {
        allOnMain = allOnMain && RunLoop::isMainThread();
        if (++fired == 3) {
            timer.invalidate();
        }
    });
    ASSERT_TRUE(RunLoop::runUntil([&] { return fired == 3; }, 5s));
    RunLoop::runFor(100ms);
    EXPECT_EQ(fired, 3);
    EXPECT_TRUE(allOnMain);
}

TEST(Timer, ScheduledFromAWorkerFiresOnTheMainLoopOnce) {
    std::atomic<int> fired{0};
    std::shared_ptr<Timer> timer;
    std::thread([&] { timer = Timer::scheduled(10ms, false, [&](Timer&) { ++fired; }); }).join();
    ASSERT_TRUE(RunLoop::runUntil([&] { return fired == 1; }, 5s));
    RunLoop::runFor(60ms);
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(timer->isValid());
}

TEST(Timer, InvalidatedBeforeFiringNeverFires) {
    int fired = 0;
    auto timer = Timer::scheduled(20ms, true, [&](Timer&) { ++fired; });
    timer->invalidate();
    RunLoop::runFor(80ms);
    EXPECT_EQ(fired, 0);
}
