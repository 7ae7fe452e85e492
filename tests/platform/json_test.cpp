#include "platform/Json.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using platform::json::Value;

TEST(Json, IntegerIsReadOnlyWhereItHasASigned64BitValue) {
    struct Row {
        std::string text;
        std::optional<std::int64_t> integer;
    };
    const std::vector<Row> rows{
        {"9223372036854775807", INT64_MAX},
        {"-9223372036854775808", INT64_MIN},
        {"9223372036854775808", std::nullopt},  // one above the range, not wrapped to a negative
        {"-9223372036854775808.0", INT64_MIN},
        {"9223372036854775808.0", std::nullopt},  // 2^63 as a float: the first value beyond the range
        {"9.2233720368547748e18", 9223372036854774784},  // the largest float below it
        {"-7.9", -7},
        {"\"5\"", std::nullopt},
    };
    for (const Row& row : rows) {
        const auto value = Value::parse(row.text);
        ASSERT_TRUE(value) << row.text;
        EXPECT_EQ(value->asInteger(), row.integer) << row.text;
    }
}
