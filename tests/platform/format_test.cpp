#include "platform/Error.h"
#include "platform/Format.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

using platform::format;

TEST(Format, PrintfConversionsWithWidthsAndPrecision) {
    EXPECT_EQ(format("%d|%5d|%-4d|%03d", 7, 42, 3, 9), "7|   42|3   |009");
    EXPECT_EQ(format("%ld %lld %u %lu", -5L, 1LL << 40, 4000000000U, 18446744073709551615UL),
              "-5 1099511627776 4000000000 18446744073709551615");
    EXPECT_EQ(format("%.2f %lf %8.3f", 3.14159, 2.5, -1.0), "3.14 2.500000   -1.000");
    EXPECT_EQ(format("%s and %10s|%-3s|", "plain", "right", "l"), "plain and      right|l  |");
    EXPECT_EQ(format("100%% done"), "100% done");
    EXPECT_EQ(format("%*d|%.*f", 4, 1, 1, 0.25), "   1|0.2");
}

TEST(Format, PlainDReadsA32BitIntAsCDoesAndLongModifiersKeep64Bits) {
    EXPECT_EQ(format("%d %i %d", 4294967297LL, 3000000000LL, 3000000000ULL), "1 -1294967296 -1294967296");
    EXPECT_EQ(format("%ld %lld %qd %5d", 4294967297LL, 3000000000LL, -4294967296LL, 4294967298LL),
              "4294967297 3000000000 -4294967296     2");
}

TEST(Format, ObjectConversionInsertsDescriptions) {
    EXPECT_EQ(format("%@ %@ %@", std::string("text"), 12, 2.5), "text 12 2.5");
    EXPECT_EQ(format("%@", std::filesystem::path("/a b/c")), "/a b/c");
    EXPECT_EQ(format("[%@]", static_cast<const char*>(nullptr)), "[(null)]");
    EXPECT_EQ(format("%@", std::vector<std::string>{"a", "b"}), "(\n    a,\n    b\n)");
    const platform::Error error("BashTask", 3);
    EXPECT_EQ(format("%@", error), "Error Domain=BashTask Code=3 \"(null)\"");
}

TEST(Format, MismatchedAndMissingArgumentsNeverCrash) {
    EXPECT_EQ(format("%d %@ %s"), "0 (null) (null)");
    EXPECT_EQ(format("%s", 5), "5");
    EXPECT_EQ(format("%d", std::string("x")), "0");
    EXPECT_EQ(format("trailing %"), "trailing %");
    EXPECT_EQ(format("%y stays"), "%y stays");
}

TEST(Format, TextKeepsUtf8AndEmbeddedBytes) {
    const std::string withNul("a\0b", 3);
    EXPECT_EQ(format("%@", withNul), withNul);
    EXPECT_EQ(format("%@ – %s", std::string("Grüße"), "日本"), "Grüße – 日本");
}
