#include "PlatformInfo.h"
#include "platform/Format.h"
#include "platform/RunLoop.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace {

// A user whose numbers use a decimal comma. The locale is built for the test, so the machine
// needs none installed; the application object is made only after the environment names it.
class CommaLocale : public testing::Test {
protected:
    static void SetUpTestSuite() {
        localeFolder = std::make_unique<testing_support::TempDir>();
        const std::string build = "localedef -i de_DE -f ISO-8859-1 '" + (localeFolder->path() / "de_DE").string() +
                                  "' >/dev/null 2>&1";
        if (std::system(build.c_str()) != 0) {
            return;
        }
        setenv("LOCPATH", localeFolder->path().c_str(), 1);
        setenv("LC_NUMERIC", "de_DE", 1);
        unsetenv("LC_ALL");
        // Taking the locale from the environment, as the application object does.
        std::setlocale(LC_ALL, "");
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

    static inline std::unique_ptr<testing_support::TempDir> localeFolder;
    static inline bool available = false;
};

}  // namespace

TEST_F(CommaLocale, NumbersAreFormattedAndParsedWithADecimalPoint) {
    EXPECT_EQ(platform::format("%f %@", 50.0, 0.5), "50.000000 0.5");
    EXPECT_EQ(PlatformInfo::bandwidth(1536), " 1.50 kb/s");
    EXPECT_EQ(PlatformInfo::ramFreeFromOutput("Pages free: 262144."), " 1.00Gb");
    EXPECT_EQ(PlatformInfo::cpuUsageFromOutput("5.26,10.52,84.21"), "15.78%");
}

// The probes' commands print numbers as the C locale does: a stand-in "df" prints its free space
// with awk, which follows the locale it is given.
TEST_F(CommaLocale, ProbeCommandsPrintNumbersWithADecimalPoint) {
    testing_support::TempDir tools;
    testing_support::writeFile(tools.path() / "df",
                               "#!/bin/sh\nawk 'BEGIN { printf \"/dev/root 10G 5G %.1fG 50%% /\\n\", 1.5 }'\n");
    std::filesystem::permissions(tools.path() / "df", std::filesystem::perms::owner_all);
    const std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin:/bin";
    setenv("PATH", (tools.path().string() + ":" + path).c_str(), 1);
    const std::string free = PlatformInfo::hddFreeSpace();
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(free, "1.5G");
}
