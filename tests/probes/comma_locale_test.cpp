#include "PlatformInfo.h"
#include "platform/Format.h"
#include "platform/RunLoop.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

// A user whose numbers use a decimal comma. The locale is built for the test, so the machine
// needs none installed; the application object is made only after the environment names it.
class CommaLocale : public testing::Test {
protected:
    static void SetUpTestSuite() {
        static testing_support::TempDir localeFolder;
        const std::string build =
            "localedef -i de_DE -f ISO-8859-1 '" + (localeFolder.path() / "de_DE").string() + "' >/dev/null 2>&1";
        if (std::system(build.c_str()) != 0) {
            return;
        }
        setenv("LOCPATH", localeFolder.path().c_str(), 1);
        setenv("LC_NUMERIC", "de_DE", 1);
        unsetenv("LC_ALL");
        std::setlocale(LC_ALL, "");  // as the application object does
        available = *std::localeconv()->decimal_point == ',';
        static int argc = 1;
        static char name[] = "comma_locale_tests";
        static char* argv[] = {name, nullptr};
        platform::RunLoop::initialize(argc, argv);
    }
    void SetUp() override {
        if (!available) {
            GTEST_SKIP() << "no comma-decimal locale could be built (package locales)";
        }
    }

    static inline bool available = false;
};

}  // namespace

TEST_F(CommaLocale, NumbersAreFormattedAndParsedWithADecimalPoint) {
    EXPECT_EQ(platform::format("%f %@", 50.0, 0.5), "50.000000 0.5");
    EXPECT_EQ(PlatformInfo::bandwidth(1536), " 1.50 kb/s");
    EXPECT_EQ(PlatformInfo::cpuUsageFromOutput("5.26,10.52,84.21"), "15.78%");
}

// The probes' commands print numbers as the C locale does, and output that is not UTF-8 gives
// no text. A stand-in "df" prints the free space, with awk, which follows the locale it is given.
TEST_F(CommaLocale, ProbeCommandsRunInTheCLocaleAndTheirOutputIsReadAsUtf8) {
    testing_support::TempDir tools;
    const std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin:/bin";
    setenv("PATH", (tools.path().string() + ":" + path).c_str(), 1);
    auto freeSpaceWhenDfRuns = [&](const std::string& command) {
        testing_support::writeFile(tools.path() / "df", "#!/bin/sh\n" + command + "\n");
        std::filesystem::permissions(tools.path() / "df", std::filesystem::perms::owner_all);
        return PlatformInfo::hddFreeSpace();
    };
    EXPECT_EQ(freeSpaceWhenDfRuns("awk 'BEGIN { printf \"/dev/root 10G 5G %.1fG 50%% /\\n\", 1.5 }'"), "1.5G");
    EXPECT_EQ(freeSpaceWhenDfRuns("printf '/dev/root 10G 5G 1.5\\377G 50%% /\\n'"), "");
    setenv("PATH", path.c_str(), 1);
}
