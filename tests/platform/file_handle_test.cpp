#include "platform/FileHandle.h"
#include "platform/Process.h"
#include "platform/RunLoop.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <system_error>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// Observes a handle as a follower does that arms again before it reads, and counts notifications.
struct Follower {
    explicit Follower(std::shared_ptr<platform::FileHandle> followed) : handle(std::move(followed)) {
        handle->addDataAvailableObserver([this](platform::FileHandle& notified) {
            ++notifications;
            notified.waitForDataInBackgroundAndNotify();
            seen += notified.availableData();
        });
        handle->waitForDataInBackgroundAndNotify();
    }
    std::shared_ptr<platform::FileHandle> handle;
    int notifications = 0;
    std::string seen;
};

void append(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::app | std::ios::binary) << text;
}

}  // namespace

TEST(FileHandleFollowing, AQuietFileNotifiesOnlyWhenBytesAreAppended) {
    testing_support::TempDir dir;
    const auto path = dir.path() / "progress_catcher.log";
    testing_support::writeFile(path, "");
    auto handle = platform::FileHandle::fileHandleForReadingAtPath(path);
    ASSERT_TRUE(handle);
    EXPECT_FALSE(platform::FileHandle::fileHandleForReadingAtPath(dir.path() / "missing"));
    Follower follower(handle);

    platform::RunLoop::runFor(300ms);
    EXPECT_EQ(follower.notifications, 0);  // a quiet file costs nothing

    append(path, "0: 10\n");
    ASSERT_TRUE(platform::RunLoop::runUntil([&] { return follower.seen == "0: 10\n"; }, 5s));
    append(path, "1: 20\n");
    ASSERT_TRUE(platform::RunLoop::runUntil([&] { return follower.seen == "0: 10\n1: 20\n"; }, 5s));
    platform::RunLoop::runFor(200ms);
    EXPECT_EQ(follower.notifications, 2);

    // A file written anew from its start is read from its start.
    testing_support::writeFile(path, "2:\n");
    ASSERT_TRUE(platform::RunLoop::runUntil([&] { return follower.seen.ends_with("2:\n"); }, 5s));
}

TEST(FileHandleFollowing, APipeNotifiesOnDataAndOnceAtItsEnd) {
    auto pipe = platform::Pipe::create();
    Follower follower(pipe->fileHandleForReading());
    const int writer = pipe->fileHandleForWriting()->fileDescriptor();

    platform::RunLoop::runFor(300ms);
    EXPECT_EQ(follower.notifications, 0);
    ASSERT_EQ(::write(writer, "abc", 3), 3);
    ASSERT_TRUE(platform::RunLoop::runUntil([&] { return follower.seen == "abc"; }, 5s));

    // The follower arms again before it reads the end: the end must not notify for ever.
    pipe->fileHandleForWriting()->closeFile();
    ASSERT_TRUE(platform::RunLoop::runUntil([&] { return follower.notifications == 2; }, 5s));
    platform::RunLoop::runFor(300ms);
    EXPECT_EQ(follower.notifications, 2);
}

TEST(FileHandleFollowing, AHandleGoneWhileArmedIsNotNotified) {
    auto pipe = platform::Pipe::create();
    int calls = 0;
    {
        auto reading = pipe->fileHandleForReading();
        reading->addDataAvailableObserver([&](platform::FileHandle&) { ++calls; });
        reading->waitForDataInBackgroundAndNotify();
        reading->closeFile();
    }
    pipe->fileHandleForWriting()->closeFile();
    platform::RunLoop::runFor(200ms);
    EXPECT_EQ(calls, 0);
}

TEST(FileHandleReading, AReadErrorIsNotTakenForTheEnd) {
    testing_support::TempDir dir;
    auto folder = platform::FileHandle::fileHandleForReadingAtPath(dir.path());  // opens, but cannot be read
    ASSERT_TRUE(folder);
    EXPECT_THROW(folder->availableData(), std::system_error);
    EXPECT_THROW(folder->readDataToEndOfFile(), std::system_error);
}

// Asked to end while another thread is about to start it: it ends as soon as it starts, rather
// than running on unowned.
TEST(ProcessDescriptors, AChildAskedToEndBeforeItsLaunchEndsAtOnce) {
    auto process = platform::Process::create();
    process->setLaunchPath("/bin/sleep");
    process->setArguments({"30"});
    process->terminate();
    const auto started = std::chrono::steady_clock::now();
    process->launch();
    process->waitUntilExit();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(process->terminationStatus(), SIGTERM);
}

TEST(ProcessDescriptors, AChildWhoseOutputCannotBeSetUpIsNotStarted) {
    auto pipe = platform::Pipe::create();
    pipe->fileHandleForWriting()->closeFile();  // as it is once another child was started with it
    auto process = platform::Process::create();
    process->setLaunchPath("/bin/sh");
    process->setArguments({"-c", "echo 'not into the pipe'"});
    process->setStandardOutput(pipe);
    EXPECT_THROW(process->launch(), platform::Exception);
    EXPECT_FALSE(process->isRunning());
}

TEST(ProcessDescriptors, ChildrenGetOnlyStandardDescriptorsAndErrorIsCaptured) {
    // A descriptor opened without close-on-exec, as a library's log file may be.
    const int leaked = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 3);
    auto process = platform::Process::create();
    process->setLaunchPath("/bin/sh");
    process->setArguments({"-c", "ls /proc/$$/fd; echo problem >&2; exit 3"});
    const auto output = process->launchAndReadToEnd(true);
    ::close(leaked);
    EXPECT_EQ(output.standardOutput, "0\n1\n2\n");
    EXPECT_EQ(output.standardError, "problem\n");
    EXPECT_EQ(process->terminationStatus(), 3);
}
