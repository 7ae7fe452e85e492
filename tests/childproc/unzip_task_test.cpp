#include "UnzipTask.h"
#include "platform/RunLoop.h"
#include "recorders.h"
#include "support/fake_pkexec.h"
#include "support/log_capture.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(UnzipTaskRun, ListsTheMembersAndReportsProgressPerFile) {
    if (!fs::exists("/usr/bin/unzip") || !fs::exists("/usr/bin/zip")) {
        GTEST_SKIP() << "zip and unzip are needed";
    }
    testing_support::TempDir dir;
    const fs::path content = dir.path() / "content";
    fs::create_directories(content / "sub");
    testing_support::writeFile(content / "one.txt", std::string(1000, 'a'));
    testing_support::writeFile(content / "sub" / "two.txt", std::string(3000, 'b'));
    const fs::path archive = dir.path() / "archive with space.zip";
    ASSERT_TRUE(BashTask::executeWithPath("/bin/sh", {"-c", "cd \"$1\" && zip -q -r \"$2\" one.txt sub/two.txt", "sh",
                                                      content.string(), archive.string()}));
    const fs::path destination = dir.path() / "out";

    RecordingDelegate recorder;
    // Rights are asked for when the step is made; this stand-in grants them without running anything.
    testing_support::FakePkexec pkexec(testing_support::FakePkexec::Behaviour::AuthoriseWithoutRunning);
    testing_support::LogCapture log;
    auto task = std::make_shared<UnzipTask>(archive.string(), destination.string());
    EXPECT_TRUE(log.containsLine("INFO success!"));
    EXPECT_NE(pkexec.calls().find("|whoami > /tmp/me|"), std::string::npos);
    EXPECT_EQ(task->arguments(), (std::vector<std::string>{"-d", destination.string(), "-o", archive.string()}));
    task->setTaskDelegate(&recorder);
    task->execute();
    EXPECT_EQ(task->getTotalSize(), 4000);
    EXPECT_EQ(task->totalProgress(), 4000.0);
    EXPECT_EQ(task->getRemainingFiles(), 2);
    ASSERT_TRUE(platform::RunLoop::runUntil([&] { return !recorder.events.empty(); }, 10s));

    EXPECT_EQ(recorder.events, std::vector<std::string>{"finished"});
    EXPECT_EQ(recorder.progress, (std::vector<double>{1000, 4000}));
    EXPECT_EQ(task->getRemainingSize(), 0);
    EXPECT_EQ(task->getRemainingFiles(), 0);
    EXPECT_EQ(testing_support::readFile(destination / "sub" / "two.txt"), std::string(3000, 'b'));
}

TEST(UnzipTaskRights, ADismissedPromptIsLogged) {
    testing_support::FakePkexec pkexec(testing_support::FakePkexec::Behaviour::Dismiss);
    testing_support::LogCapture log;
    UnzipTask task("/nonexistent/a.zip", "/nonexistent/out");
    EXPECT_TRUE(log.containsLine("ERROR failure!"));
}
