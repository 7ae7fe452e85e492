#include "core/statistics/loggly/loggly_client.h"
#include "core/statistics/orv/orv_client.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

struct RecordingTransport : Statistics::Transport {
    std::vector<std::pair<std::string, std::string>> posts;
    bool send(const std::string& url, const std::string& body) override
    {
        posts.emplace_back(url, body);
        return true;
    }
};

AppStatistics::TimePoint at(long long micros)
{
    return AppStatistics::TimePoint(std::chrono::microseconds(micros));
}

} // namespace

TEST(EventFormatTest, TimeTextTruncatesToMilliseconds)
{
    using Statistics::Orv::formatTime;
    EXPECT_EQ(formatTime(at(1700000000123456LL)), "2023-11-14T22:13:20.123Z");
    EXPECT_EQ(formatTime(at(1700000000000000LL)), "2023-11-14T22:13:20.000Z");
    EXPECT_EQ(formatTime(at(1700000000000999LL)), "2023-11-14T22:13:20.000Z");
    EXPECT_EQ(formatTime(at(1700000000999999LL)), "2023-11-14T22:13:20.999Z");
    EXPECT_EQ(Statistics::Loggly::formatTime(at(0)), "1970-01-01T00:00:00.000Z");
    // Four-digit years and whole milliseconds before 1970 as well.
    EXPECT_EQ(formatTime(at(-30610224001LL * 1000000)), "0999-12-31T23:59:59.000Z");
    EXPECT_EQ(formatTime(at(-1000)), "1969-12-31T23:59:59.999Z");
    EXPECT_EQ(Statistics::Orv::playerStateToString(2), "active");
    EXPECT_EQ(Statistics::Loggly::playerStateToString(1), "idle");
    EXPECT_EQ(Statistics::Orv::playerStateToString(3), "");
    EXPECT_EQ(Statistics::Loggly::playerStateToString(-1), "");
}

TEST(OrvClientTest, EventsCarryTheirKeysInOrder)
{
    auto transport = std::make_shared<RecordingTransport>();
    Statistics::Orv::Client client(transport, "http://srv");
    AppStatistics record;
    record.eventTime = at(1700000000123456LL);
    record.eventStatus = -1;
    record.cpuVirtualization = true;
    record.hardwareId = "H";
    record.version = "1.0";
    client.sendAction(record);
    client.sendActivity(record);
    client.sendException(record);
    client.sendSystemInfo(record);
    ASSERT_EQ(transport->posts.size(), 4u);
    EXPECT_EQ(transport->posts[0].first, "http://srv/action");
    EXPECT_EQ(transport->posts[0].second,
              R"({"hwid":"H","macAddress":"","ipAddressLocal":"","installDate":"2023-11-14T22:13:20.123Z",)"
              R"("sourceUrl":"","platform":"","version":"1.0","virtualization":"true","status":"-1",)"
              R"("instId":"","emulatorType":"","apkPackageName":""})");
    EXPECT_EQ(transport->posts[1].first, "http://srv/activityadd");
    EXPECT_EQ(transport->posts[1].second,
              R"({"hwid":"H","macAddress":"","sourceUrl":"","gameTitle":"","platform":"",)"
              R"("start":"1970-01-01T00:00:00.000Z","stop":"1970-01-01T00:00:00.000Z","type":"unknown",)"
              R"("comVer":"1.0","instId":"","emulatorType":"","apkPackageName":""})");
    EXPECT_EQ(transport->posts[2].first, "http://srv/exception");
    EXPECT_EQ(transport->posts[2].second,
              R"({"hwid":"H","instId":"","macAddress":"","ipAddressLocal":"","emulatorType":"",)"
              R"("platform":"","exception":"","source":"","version":"1.0","date":"2023-11-14T22:13:20.123Z"})");
    EXPECT_EQ(transport->posts[3].first, "http://srv/sysinfo");
    EXPECT_NE(transport->posts[3].second.find(R"("date":"2023-11-14T22:13:20.123Z","version":"1.0","cpu":"")"),
              std::string::npos);
    EXPECT_NE(transport->posts[3].second.find(R"("openGLExtensions":""})"), std::string::npos);
}

TEST(EventFormatTest, ValuesAreEscapedAsJsonStrings)
{
    auto transport = std::make_shared<RecordingTransport>();
    Statistics::Orv::Client orv(transport, "http://srv");
    Statistics::Loggly::Client loggly(transport, "http://log/bulk/t/tag/");
    AppStatistics record;
    record.eventTime = at(1);
    record.exception = "q\"b\\t\tn\nr\r\x01\x1f" "\xc3\xa9";
    record.version = "v\r\nx";
    orv.sendException(record);
    loggly.sendStatus(record);
    EXPECT_NE(transport->posts[0].second.find(R"("exception":"q\"b\\t\tn\nr\r\u0001\u001fé")"),
              std::string::npos);
    EXPECT_NE(transport->posts[1].second.find(R"("version":"v\r\nx")"), std::string::npos);
}

TEST(LogglyClientTest, EventsGoToTaggedBulkAddresses)
{
    auto transport = std::make_shared<RecordingTransport>();
    Statistics::Loggly::Client client(transport, "http://log/bulk/tok/tag/");
    AppStatistics record;
    record.eventTime = at(1700000000123456LL);
    record.eventStatus = 22;
    record.eventSource = "Dovarirovev";
    client.sendStatus(record);
    client.sendActivity(record);
    client.sendSystemInfo(record);
    record.eventSource = "";
    client.sendStatus(record);
    ASSERT_EQ(transport->posts.size(), 4u);
    EXPECT_EQ(transport->posts[0].first, "http://log/bulk/tok/tag/ravelune,Dovarirovev,status");
    EXPECT_EQ(transport->posts[0].second,
              R"({"installationId":"","emulatorId":"","ipAddressLocal":"","macAddress":"",)"
              R"("virtualization":"false","platform":"","sourceUrl":"","version":"","status":"22",)"
              R"("emulatorType":"","apkPackageName":"","timestamp":"2023-11-14T22:13:20.123Z"})");
    EXPECT_EQ(transport->posts[1].first, "http://log/bulk/tok/tag/ravelune,Dovarirovev,activity");
    EXPECT_NE(transport->posts[1].second.find(
                  R"("eventStartTime":"1970-01-01T00:00:00.000Z","eventStopTime":"1970-01-01T00:00:00.000Z","type":"unknown"})"),
              std::string::npos);
    EXPECT_EQ(transport->posts[2].first, "http://log/bulk/tok/tag/ravelune,Dovarirovev,sysinfo");
    EXPECT_NE(transport->posts[2].second.find(
                  R"("date":"2023-11-14T22:13:20.123Z","timestamp":"2023-11-14T22:13:20.123Z")"),
              std::string::npos);
    EXPECT_EQ(transport->posts[3].first, "http://log/bulk/tok/tag/ravelune,,status");
}
