#include "CreateGuidFiles.h"
#include "Paths.h"
#include "platform/Application.h"
#include "platform/Dispatch.h"
#include "platform/Paths.h"
#include "platform/RunLoop.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::writeFile;

TEST(IdentityFiles, InstallIdRewrittenHardwareIdKeptAndNeverEmpty) {
    testing_support::TempHome home;
    const fs::path support = platform::paths::applicationSupportDirectory();

    CreateGuidFiles::createHwIdFile("");
    EXPECT_FALSE(fs::exists(support / "hwid.dat"));
    writeFile(support / "hwid.dat", "");  // left empty by an earlier run: no id at all
    CreateGuidFiles::createHwIdFile("FIRST");
    CreateGuidFiles::createHwIdFile("SECOND");
    EXPECT_EQ(readFile(support / "hwid.dat"), "FIRST");

    CreateGuidFiles::createInstallIdFile("ONE");
    CreateGuidFiles::createInstallIdFile("TWO");
    EXPECT_EQ(readFile(support / "installid.dat"), "TWO");
}

TEST(RelativePaths, ClimbOutOfTheAnchorThenDown) {
    EXPECT_EQ(stringWithPathRelativeTo("/a/b/c", "/a/d"), "../b/c");
    EXPECT_EQ(stringWithPathRelativeTo("/a/b", "/a/b/"), "");
}

// Ctrl-C, Ctrl-\\ and a terminal's hang-up ask the installer to end as SIGTERM does: once.
TEST(ApplicationEnding, EndingSignalsEndTheLoopOnceWithStatusTwo) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const int number : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) {
        EXPECT_EXIT(
            {
                int willTerminate = 0;
                platform::Application::setWillTerminateHandler([&willTerminate] { ++willTerminate; });
                // A script's background job starts with Ctrl-C and Ctrl-\ ignored; a hang-up
                // ignored at start is left alone (below).
                std::signal(number, number == SIGHUP ? SIG_DFL : SIG_IGN);
                platform::Application::terminateOnSignals();
                std::raise(number);
                std::raise(number);
                platform::dispatch::afterMain(std::chrono::seconds(5), [] { platform::RunLoop::quit(99); });
                const int status = platform::RunLoop::run();
                platform::RunLoop::runFor(std::chrono::milliseconds(50));
                std::fprintf(stderr, "willTerminate=%d\n", willTerminate);
                std::fflush(stderr);
                std::_Exit(status);
            },
            testing::ExitedWithCode(2), "willTerminate=1")
            << strsignal(number);
    }
    // Started under nohup: a hang-up stays ignored, the installer is not the terminal's to end.
    EXPECT_EXIT(
        {
            std::signal(SIGHUP, SIG_IGN);
            platform::Application::terminateOnSignals();
            std::raise(SIGHUP);
            platform::RunLoop::runFor(std::chrono::milliseconds(50));
            std::_Exit(platform::Application::isTerminating() ? 2 : 0);
        },
        testing::ExitedWithCode(0), "");
}

// Work that cannot be stopped holds the ending: the first request is kept and told of once,
// later ones change nothing, and the release carries the kept one out.
TEST(ApplicationEnding, HeldRequestIsCarriedOutAtTheRelease) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            int kept = 0;
            int willTerminate = 0;
            platform::Application::setWillTerminateHandler([&willTerminate] { ++willTerminate; });
            platform::Application::holdTermination([&kept] { ++kept; });
            platform::Application::terminate(2);
            platform::Application::terminate(0);
            platform::RunLoop::runFor(std::chrono::milliseconds(50));
            const bool endedWhileHeld = willTerminate != 0 || platform::Application::isTerminating();
            platform::Application::releaseTermination();
            platform::dispatch::afterMain(std::chrono::seconds(10), [] { platform::RunLoop::quit(99); });
            const int status = platform::RunLoop::run();
            std::fprintf(stderr, "kept=%d endedWhileHeld=%d willTerminate=%d\n", kept, endedWhileHeld, willTerminate);
            std::fflush(stderr);
            std::_Exit(status);
        },
        testing::ExitedWithCode(2), "kept=1 endedWhileHeld=0 willTerminate=1");
}
