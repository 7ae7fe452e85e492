#include "platform/Error.h"

#include <gtest/gtest.h>

#include <cerrno>

using platform::Error;

TEST(Error, CarriesItsTextsAndFallsBackToTheGenericSentence) {
    Error::Info info;
    info.localizedDescription = "Title";
    info.localizedRecoverySuggestion = "Advice";
    info.underlyingError = "Script error";
    const Error full("RootTask", -1, info);
    EXPECT_EQ(full.domain(), "RootTask");
    EXPECT_EQ(full.code(), -1);
    EXPECT_EQ(full.localizedDescription(), "Title");
    EXPECT_FALSE(full.localizedFailureReason().has_value());
    EXPECT_EQ(full.localizedRecoverySuggestion().value(), "Advice");
    EXPECT_EQ(full.description(),
              "Error Domain=RootTask Code=-1 \"Title\" UserInfo={NSLocalizedDescription=Title, "
              "NSLocalizedRecoverySuggestion=Advice, NSUnderlyingError=Script error}");

    const Error bare("BashTask", 3);
    EXPECT_EQ(bare.localizedDescription(), "The operation couldn\u2019t be completed. (BashTask error 3.)");
}

TEST(Error, PosixErrorNamesTheCause) {
    const Error error = Error::posix(ENOENT);
    EXPECT_EQ(error.domain(), "NSPOSIXErrorDomain");
    EXPECT_EQ(error.code(), ENOENT);
    EXPECT_EQ(error.localizedDescription(), "No such file or directory");
}
