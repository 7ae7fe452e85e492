#include "Formatters.h"
#include "RemainingTimeMeter.h"
#include "Speedometer.h"
#include "UpdateBandwidth.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

using Samples = std::vector<std::uint64_t>;
using Steps = std::initializer_list<std::pair<double, std::uint64_t>>;

namespace {
// The time every meter reads; tests move it by hand.
double now = 0;
double fakeClock() { return now; }
}  // namespace

TEST(Formatters, ByteCountAndDurationTexts) {
    constexpr auto max = std::numeric_limits<std::int64_t>::max(), min = std::numeric_limits<std::int64_t>::min();
    const std::vector<std::pair<std::int64_t, const char*>> bytes = {
        {0, "Zero KB"},          {1, "1 byte"},          {2, "2 bytes"},         {999, "999 bytes"},
        {1000, "1 KB"},          {1499, "1 KB"},         {1500, "2 KB"},         {999499, "999 KB"},
        {999500, "1.0 MB"},      {1049999, "1.0 MB"},    {1050000, "1.1 MB"},    {999950000, "1.00 GB"},
        {2500000000, "2.50 GB"}, {2505000000, "2.51 GB"}, {1234567890123, "1.23 TB"}, {max, "9.22 EB"},
        {-1, "-1 byte"},         {-1500, "-2 KB"},       {min, "-9.22 EB"},
    };
    for (const auto& [count, text] : bytes) {
        EXPECT_EQ(Formatters::stringFromBytes(count), text) << count;
    }
    const std::vector<std::pair<double, const char*>> durations = {
        {0, "00:00"},          {75.9, "01:15"},     {3599.99, "59:59"},    {3600, "01:00:00"},
        {4500.45, "01:15:00"}, {10000, "02:46:40"}, {360000, "100:00:00"}, {std::nan(""), "00:00"},
    };
    for (const auto& [seconds, text] : durations) {
        EXPECT_EQ(Formatters::timeFromInterval(seconds), text) << seconds;
    }
    EXPECT_FALSE(Formatters::timeFromInterval(1e300).empty());  // held in range, not undefined
}

TEST(Speedometer, MeasuresBetweenTheCommitsSeenAtTwoTicksAndNeverWraps) {
    Speedometer meter(fakeClock);
    Samples speeds;
    meter.setUpdateCallback([&](std::uint64_t speed) { speeds.push_back(speed); });
    auto commitThenTick = [&](double time, std::uint64_t bytes) {
        now = time;
        meter.commitDownloadedBytes(bytes);
        meter.updateTimer();
    };
    meter.updateTimer();               // no commit yet: 0
    commitThenTick(100.0, 0);          // measured from 1970: 0
    commitThenTick(101.5, 3000000);
    meter.updateTimer();               // nothing new: 0
    commitThenTick(102.5, 5000);       // the count went down: 0, no wrap
    commitThenTick(103.5, 6000);
    EXPECT_EQ(speeds, (Samples{0, 0, 2000000, 0, 0, 1000}));

    meter.setUpdateCallback({});
    meter.updateTimer();  // no callback: nothing happens
}

TEST(UpdateBandwidth, ReportsCommitsMoreThanFifteenSecondsApartThenStops) {
    UpdateBandwidth meter(fakeClock);
    Samples reports;
    meter.setUpdateCallback([&](std::uint64_t bandwidth) { reports.push_back(bandwidth); });
    for (const auto& [time, bytes] : Steps{{1000.0, 100}, {1010.0, 100000}, {1030.0, 50000}, {1050.0, 3050000}}) {
        EXPECT_TRUE(meter.isRunning());
        now = time;
        meter.commitDownloadedBytes(bytes);
        meter.updateTimer();
    }
    // From 1970; 10 s apart; fallen; then 3000000 bytes in 20 s.
    EXPECT_EQ(reports, (Samples{0, 0, 0, 150000}));
    EXPECT_FALSE(meter.isRunning());
}

// A remaining-time meter of 1000 bytes started at time 50, recording its estimates.
class RemainingTime : public testing::Test {
protected:
    void SetUp() override {
        meter.setUpdateCallback([this](double seconds) { estimates.push_back(seconds); });
        meter.setTotalBytes(1000);
        now = 50;
        meter.start();
    }
    void commitThenTick(double time, std::uint64_t bytes, std::uint64_t speed) {
        now = time;
        meter.commitDownloadedBytes(bytes, speed);
        meter.updateTimer();
    }

    RemainingTimeMeter meter{fakeClock};
    std::vector<double> estimates;
};

TEST_F(RemainingTime, SmoothsTowardTheUnknownSampleWithoutASpeed) {
    commitThenTick(50.05, 0, 0);  // the commit came within 0.1 s of start: silent
    for (int i = 0; i < 16; ++i) {
        commitThenTick(51, 0, 0);
    }
    ASSERT_EQ(estimates.size(), 16u);
    EXPECT_DOUBLE_EQ(estimates[0], 4500.45);
    EXPECT_DOUBLE_EQ(estimates[1], 6975.6975);
    EXPECT_NEAR(estimates[2], 8337.08, 0.01);
    EXPECT_LT(estimates[14], 10000);
    EXPECT_NEAR(estimates[15], 10000.29, 0.01);
}

TEST_F(RemainingTime, SampleFromTheSpeedAndALastTickAtOrPastTheTotal) {
    commitThenTick(51, 0, 45);     // sample 22.2...: estimate 10.0
    commitThenTick(51, 400, 100);  // sample 6.0: estimate 8.2
    commitThenTick(51, 1000, 100); // sample 0, and the timer stops
    ASSERT_EQ(estimates.size(), 3u);
    EXPECT_NEAR(estimates[1], 8.2, 1e-9);
    EXPECT_NEAR(estimates[2], 8.2 * 0.55, 1e-9);
    EXPECT_FALSE(meter.isRunning());

    // Past the total nothing is left, rather than a wrapped near-2^64 byte count.
    meter.start();
    commitThenTick(52, 1200, 100);
    EXPECT_NEAR(estimates.back(), 8.2 * 0.55 * 0.55, 1e-9);
    EXPECT_FALSE(meter.isRunning());
}
