#include "CreateGuidFiles.h"
#include "Paths.h"
#include "platform/Application.h"
#include "platform/Paths.h"
#include "platform/RunLoop.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <csignal>
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

TEST(ApplicationEnding, SigtermEndsTheLoopOnceWithStatusTwo) {
    int willTerminate = 0;
    platform::Application::setWillTerminateHandler([&willTerminate] { ++willTerminate; });
    platform::Application::terminateOnSignals();
    std::raise(SIGTERM);
    std::raise(SIGINT);
    EXPECT_EQ(platform::RunLoop::run(), 2);
    platform::RunLoop::runFor(std::chrono::milliseconds(50));
    EXPECT_EQ(willTerminate, 1);
}
