#include "core/statistics/url.h"

#include <gtest/gtest.h>

using Statistics::Url;

TEST(UrlTest, SplitsProtocolHostAndPath)
{
    const Url url = Url::parse("http://h/a/b");
    EXPECT_EQ(url.protocol, "http");
    EXPECT_EQ(url.host, "h");
    EXPECT_EQ(url.path, "/a/b");
    EXPECT_EQ(Url::parse("http://h:8080/a").host, "h:8080");
    const Url odd = Url::parse("/x/y/z");
    EXPECT_EQ(odd.protocol, "");
    EXPECT_EQ(odd.host, "y");
    EXPECT_EQ(odd.path, "/z");
    const Url urn = Url::parse("urn:abc/def");
    EXPECT_EQ(urn.host, "c");
    EXPECT_EQ(urn.path, "/def");
}

static std::string messageOf(const std::string& text)
{
    try {
        Url::parse(text);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "";
}

TEST(UrlTest, RejectsMalformedText)
{
    EXPECT_EQ(messageOf(""), "Failed to parse url - given string is empty.");
    EXPECT_EQ(messageOf("abc"), "Failed to parse protocol from the given string.");
    EXPECT_EQ(messageOf("http:/"),
              "Failed to parse url. The given string does not contain url or is not well-formed");
    EXPECT_THROW(Url::parse("http://h"), std::out_of_range);
    EXPECT_THROW(Url::parse("http://"), std::out_of_range);
    try {
        Url::afterScheme("abc");
        FAIL();
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Failed to parse url from the given string.");
    }
}
