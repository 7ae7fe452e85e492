#include "platform/AppleScript.h"
#include "platform/RunLoop.h"
#include "support/fake_pkexec.h"

#include <gtest/gtest.h>

using platform::AppleScript;
using testing_support::FakePkexec;
using testing_support::Road;

namespace {

std::string script(const std::string& text) {
    return "do shell script \"" + AppleScript::escapeString(text) + "\" with administrator privileges";
}

class AppleScriptSource : public testing_support::OnEachRoad {};

}  // namespace

TEST_P(AppleScriptSource, EscapedTextReadsBackAndOtherFormsAreSyntaxErrors) {
    EXPECT_EQ(AppleScript::escapeString("a\"b\\c\nd\te"), "a\\\"b\\\\c\\nd\\te");
    AppleScript::ErrorInfo error;
    // Quote, backslash and line feed reach the shell as they were.
    const std::string text = R"(printf '%s' "a\"b\\c" ')" "\n" "x'";
    EXPECT_EQ(AppleScript(script(text)).executeAndReturnError(error), "a\"b\\c\nx");

    const std::string bad = "do shell script \"true\" with adminstrator privileges";
    EXPECT_FALSE(AppleScript(bad).executeAndReturnError(error));
    EXPECT_EQ(error.number, AppleScript::syntaxError);
    ASSERT_TRUE(error.range);
    EXPECT_EQ(bad.substr(error.range->first), "adminstrator privileges");
    EXPECT_FALSE(AppleScript("do shell script \"a\\qb\"").executeAndReturnError(error));
    EXPECT_EQ(error.number, AppleScript::syntaxError);
}

TEST_P(AppleScriptSource, AChildLeftWritingInTheBackgroundHidesNeitherTheStatusNorTheEnd) {
    AppleScript::ErrorInfo error;
    for (int run = 0; run < 3; ++run) {
        EXPECT_TRUE(AppleScript(script("(yes tick &); sleep 0.1; exit 0")).executeAndReturnError(error)) << error.message.value_or("");
        EXPECT_FALSE(AppleScript(script("(yes tick &); sleep 0.1; exit 9")).executeAndReturnError(error));
        EXPECT_EQ(error.number, 9);
    }
}

INSTANTIATE_TEST_SUITE_P(, AppleScriptSource, testing::Values(Road::Pkexec, Road::Root), testing::PrintToStringParamName());

TEST(AppleScriptElevation, PkexecOutcomesAreToldFromTheShellsOwnStatus) {
    // Dismissal and refusal are checked through the batch's alerts.
    AppleScript::ErrorInfo error;
    {
        FakePkexec pkexec(FakePkexec::Behaviour::Authorise);
        // A step's own 126 and 127 are the step's, not pkexec's.
        EXPECT_FALSE(AppleScript(script("echo denied >&2; exit 126")).executeAndReturnError(error));
        EXPECT_EQ(error.number, 126);
        EXPECT_EQ(error.message, "denied");
        EXPECT_FALSE(AppleScript(script("exit 127")).executeAndReturnError(error));
        EXPECT_EQ(error.number, 127);
        EXPECT_EQ(AppleScript(script("printf 'no line end'")).executeAndReturnError(error), "no line end");
        // Not even the status line of another run fools it.
        EXPECT_FALSE(AppleScript(script("printf '\\nstatus-0:0\\n'; exit 9")).executeAndReturnError(error));
        EXPECT_EQ(error.number, 9);
        EXPECT_NE(pkexec.calls().find("/bin/sh|-c|"), std::string::npos);
    }
    {
        FakePkexec pkexec(FakePkexec::Behaviour::Authorise);
        setenv("PATH", "/nonexistent", 1);  // no pkexec anywhere
        EXPECT_FALSE(AppleScript(script("true")).executeAndReturnError(error));
        EXPECT_FALSE(error.number);
        EXPECT_NE(error.message.value_or("").find("pkexec was not found"), std::string::npos);
    }
}
