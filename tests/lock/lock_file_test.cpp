#include "LockFile.h"
#include "LockTask.h"
#include "TaskDelegate.h"
#include "UnlockTask.h"
#include "lock_test_support.h"
#include "platform/AppleScript.h"
#include "platform/Dispatch.h"
#include "platform/ProcessName.h"
#include "platform/RunLoop.h"
#include "support/fake_pkexec.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using lock_testing::Child;
using lock_testing::record;
using testing_support::readFile;
using testing_support::writeFile;
namespace fs = std::filesystem;

extern char** environ;

namespace {

constexpr const char* kInstallerDescription = "Installation in progress, please try again later.";

class Outcome : public TaskDelegate {
public:
    void taskDidStartWithStatus(Task*, const std::string&) override {}
    double taskDidUpdateProgress(Task*, double progress) override { return progress; }
    void taskDidUpdateProgressLabelWithValue(Task*, const std::string&, const std::string&) override {}
    void taskFinishedWithError(Task*, const platform::Error& failure) override { error = failure; ++reports; }
    void executionFinishedOfTask(Task*) override { finished = true; ++reports; }

    bool finished = false;
    std::optional<platform::Error> error;
    int reports = 0;
};

class LockFileTest : public testing::Test {
protected:
    std::string ownRecord(const std::string& description) const {
        return record(getpid(), platform::processName(getpid()), description);
    }

    testing_support::TempDir dir;
    fs::path lockPath = dir.path() / "ravl.lock";
};

TEST_F(LockFileTest, StepsTakeAndGiveBackTheLock) {
    LockTask lock(lockPath.string());
    Outcome locked;
    lock.setTaskDelegate(&locked);
    lock.execute();
    EXPECT_TRUE(locked.finished);
    EXPECT_EQ(locked.reports, 1);
    EXPECT_EQ(readFile(lockPath), ownRecord(kInstallerDescription));

    UnlockTask unlock(lockPath.string());
    Outcome unlocked;
    unlock.setTaskDelegate(&unlocked);
    unlock.execute();
    EXPECT_TRUE(unlocked.finished);
    ASSERT_TRUE(fs::exists(lockPath));
    EXPECT_EQ(fs::file_size(lockPath), 0u);

    // Releasing an empty file, and then an absent one, still succeeds.
    EXPECT_EQ(lockFileRelease(lockPath.c_str()), kLockFileOk);
    fs::remove(lockPath);
    Outcome releasedAbsent;
    unlock.setTaskDelegate(&releasedAbsent);
    unlock.execute();
    EXPECT_TRUE(releasedAbsent.finished);
    EXPECT_FALSE(fs::exists(lockPath));
}

// Without an observer the steps still do their work, and report to no one.
TEST_F(LockFileTest, StepsWithoutObserverStillTakeAndGiveBackTheLock) {
    LockTask lock(lockPath.string());
    lock.execute();
    EXPECT_EQ(readFile(lockPath), ownRecord(kInstallerDescription));
    UnlockTask unlock(lockPath.string());
    unlock.execute();
    EXPECT_EQ(fs::file_size(lockPath), 0u);

    // Failures, too, go to no one.
    const std::string unreachable = (dir.path() / "missing" / "ravl.lock").string();
    LockTask failingLock(unreachable);
    failingLock.execute();
    UnlockTask failingUnlock(unreachable);
    failingUnlock.execute();
    EXPECT_FALSE(fs::exists(unreachable));
}

TEST_F(LockFileTest, LiveHolderOfTheSameNameKeepsTheLock) {
    Child holder({"sleep", "30"});
    std::string theirs = record(holder.pid(), "sleep", "Game Update of another run");
    writeFile(lockPath, theirs);

    LockTask lock(lockPath.string());
    Outcome outcome;
    lock.setTaskDelegate(&outcome);
    lock.execute();
    ASSERT_TRUE(outcome.error.has_value());
    EXPECT_EQ(outcome.reports, 1);
    EXPECT_EQ(outcome.error->domain(), "LaunchTask");
    EXPECT_EQ(outcome.error->code(), -1);
    EXPECT_EQ(outcome.error->localizedDescription(), "Game Update of another run");
    EXPECT_EQ(outcome.error->localizedFailureReason(), "Other process is in progress");
    EXPECT_FALSE(outcome.error->localizedRecoverySuggestion().has_value());
    EXPECT_EQ(readFile(lockPath), theirs);

    char description[kLockFileDescriptionSize] = {};
    EXPECT_EQ(lockFileCheck(lockPath.c_str(), description), kLockFileHeld);
    EXPECT_STREQ(description, "Game Update of another run");
    // "Update" is looked for before "Game".
    EXPECT_EQ(lockFileTryAcquireKind(lockPath.c_str(), "x"), kLockFileHeldForUpdate);
    writeFile(lockPath, record(holder.pid(), "sleep", "Installation of the Game"));
    EXPECT_EQ(lockFileTryAcquireKind(lockPath.c_str(), "x"), kLockFileHeldForInstallation);
    writeFile(lockPath, record(holder.pid(), "sleep", "Game"));
    EXPECT_EQ(lockFileTryAcquireKind(lockPath.c_str(), "x"), kLockFileHeldForGame);
    writeFile(lockPath, record(holder.pid(), "sleep", "something"));
    EXPECT_EQ(lockFileTryAcquireKind(lockPath.c_str(), "x"), kLockFileHeldForOther);
}

TEST_F(LockFileTest, GoneRenamedOrUnnamedHoldersAreTakenOver) {
    Child live({"sleep", "30"});
    const std::string longDescription(3000, 'd');
    const std::vector<std::string> records = {
        record(lock_testing::goneProcessId(), "sleep", longDescription),
        record(live.pid(), "another-program", "Installation"),
        // No positive process id: 0 and -1 would otherwise probe whole process groups.
        record(0, "sleep", "Installation"),
        record(-1, "sleep", "Installation"),
        "not a number\nsleep\nInstallation",
        "\n\n",
        // No name to compare with.
        std::to_string(live.pid()),
        // Left by an earlier process that had this process's id: no other holder.
        record(getpid(), platform::processName(getpid()), "Installation"),
    };
    for (const std::string& stale : records) {
        SCOPED_TRACE(stale.substr(0, 40));
        writeFile(lockPath, stale);
        char description[kLockFileDescriptionSize] = {};
        EXPECT_EQ(lockFileCheck(lockPath.c_str(), description), kLockFileFree);
        EXPECT_EQ(lockFileTryAcquire(lockPath.c_str(), "mine", description), kLockFileOk);
        EXPECT_STREQ(description, "");
        EXPECT_EQ(readFile(lockPath), ownRecord("mine"));
    }
}

// The waiting process of a batch holds the lock, with the record's description, while the
// batch's shell runs, also after the installer that took it has gone; what the shell leaves
// running holds nothing once the shell has ended. The shell's status still comes back.
class BatchWaiter : public testing_support::OnEachRoad {};

TEST_P(BatchWaiter, HoldsTheLockWhileTheShellRunsAndNotAfter) {
    testing_support::TempDir dir;
    const fs::path lockPath = dir.path() / "ravl.lock";
    const fs::path go = dir.path() / "go";
    const fs::path leftId = dir.path() / "left";
    const std::string theirs = record(lock_testing::goneProcessId(), "Installer", kInstallerDescription);
    writeFile(lockPath, theirs);
    platform::AppleScript script(
        "do shell script \"" +
        platform::AppleScript::escapeString("sleep 30 </dev/null >/dev/null 2>&1 & echo $! >'" + leftId.string() +
                                            "'; while [ ! -e '" + go.string() + "' ]; do sleep 0.02; done; exit 3") +
        "\" with administrator privileges");
    script.setHeldFile(lockPath.string());
    std::optional<long> status;
    std::thread batch([&] {
        platform::AppleScript::ErrorInfo error;
        script.executeAndReturnError(error);
        status = error.number;
    });
    char description[kLockFileDescriptionSize] = {};
    EXPECT_TRUE(platform::RunLoop::runUntil([&] { return fs::exists(leftId); }, std::chrono::seconds(10)));
    EXPECT_EQ(lockFileTryAcquire(lockPath.c_str(), "mine", description), kLockFileHeld);
    EXPECT_STREQ(description, kInstallerDescription);
    EXPECT_EQ(readFile(lockPath), theirs);

    // A batch alone (its installer has gone) is given a few seconds to end, off the main thread:
    // one that goes on is installing and keeps the step out; one that ends lets the step in.
    for (const bool batchEnds : {false, true}) {
        auto lock = std::make_shared<LockTask>(lockPath.string());
        Outcome outcome;
        lock->setTaskDelegate(&outcome);
        lock->execute();
        EXPECT_EQ(outcome.reports, 0);
        if (batchEnds) {
            writeFile(go, "");
        }
        ASSERT_TRUE(platform::RunLoop::runUntil([&] { return outcome.reports > 0; }, std::chrono::seconds(20)));
        if (batchEnds) {
            EXPECT_TRUE(outcome.finished);
            continue;
        }
        ASSERT_TRUE(outcome.error.has_value());
        EXPECT_EQ(outcome.error->localizedDescription(), kInstallerDescription);
        EXPECT_EQ(outcome.error->localizedFailureReason(), "Other process is in progress");
    }
    batch.join();
    EXPECT_EQ(status, 3);
    const pid_t left = std::stoi(readFile(leftId));
    EXPECT_EQ(kill(left, 0), 0);
    EXPECT_EQ(readFile(lockPath), record(getpid(), platform::processName(getpid()), kInstallerDescription));
    kill(left, SIGKILL);
}

INSTANTIATE_TEST_SUITE_P(, BatchWaiter, testing::Values(testing_support::Road::Pkexec, testing_support::Road::Root),
                         testing::PrintToStringParamName());

TEST_F(LockFileTest, SymbolicLinkAtThePathIsRefused) {
    fs::path victim = dir.path() / "someone-elses-file";
    writeFile(victim, "precious");
    fs::create_symlink(victim, lockPath);

    EXPECT_EQ(lockFileTryAcquire(lockPath.c_str(), "mine", nullptr), kLockFileCannotOpenForWriting);
    EXPECT_EQ(lockFileAcquireWait(lockPath.c_str(), "mine"), kLockFileCannotOpenForWriting);
    EXPECT_EQ(lockFileCheck(lockPath.c_str(), nullptr), kLockFileCannotOpenForReading);
    EXPECT_EQ(lockFileRelease(lockPath.c_str()), kLockFileCannotOpenForRelease);
    EXPECT_EQ(readFile(victim), "precious");

    LockTask lock(lockPath.string());
    Outcome outcome;
    lock.setTaskDelegate(&outcome);
    lock.execute();
    ASSERT_TRUE(outcome.error.has_value());
    EXPECT_EQ(outcome.error->domain(), "LaunchTask");
    EXPECT_EQ(outcome.error->code(), -1);
    EXPECT_EQ(outcome.error->localizedDescription(), "Cannot use the lock file \"" + lockPath.string() + "\"");
    EXPECT_EQ(outcome.error->localizedRecoverySuggestion(),
              "The installer could not open or create it: Too many levels of symbolic links. Please make sure that "
              "every user may read and write this file, or ask an administrator to remove it, and run the installer "
              "again.");
    EXPECT_FALSE(outcome.error->localizedFailureReason().has_value());

    UnlockTask unlock(lockPath.string());
    Outcome unlocked;
    unlock.setTaskDelegate(&unlocked);
    unlock.execute();
    ASSERT_TRUE(unlocked.error.has_value());
    EXPECT_EQ(unlocked.error->domain(), "LaunchTask");
    EXPECT_EQ(unlocked.error->localizedDescription(), lockPath.string());
    EXPECT_EQ(unlocked.error->localizedFailureReason(), "Cannot unlock the lock file:");

    // A dangling link does not make the lock create the file it points to.
    fs::path missing = dir.path() / "missing";
    fs::remove(lockPath);
    fs::create_symlink(missing, lockPath);
    EXPECT_EQ(lockFileTryAcquire(lockPath.c_str(), "mine", nullptr), kLockFileCannotOpenForWriting);
    EXPECT_FALSE(fs::exists(missing));
}

// Another process's flock lasts one operation: both steps try again meanwhile without holding the
// main thread, and a flock that outlasts the wait is named in an alert, as is a record that cannot
// be written.
TEST_F(LockFileTest, StepsWaitOutAShortFlockAndNameWhatKeepsThemFromTheFile) {
    using namespace std::chrono_literals;
    const int other = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    ASSERT_GE(other, 0);
    auto stepAgainstFlock = [&](const std::shared_ptr<Task>& step, bool released) {
        flock(other, LOCK_EX);
        Outcome outcome;
        step->setTaskDelegate(&outcome);
        step->execute();
        EXPECT_EQ(outcome.reports, 0);
        bool mainThreadTurned = false;
        platform::dispatch::afterMain(300ms, [&] {
            mainThreadTurned = true;
            if (released) {
                flock(other, LOCK_UN);
            }
        });
        EXPECT_TRUE(platform::RunLoop::runUntil([&] { return outcome.reports > 0; }, 10s));
        EXPECT_TRUE(mainThreadTurned);
        flock(other, LOCK_UN);
        return outcome;
    };
    EXPECT_TRUE(stepAgainstFlock(std::make_shared<LockTask>(lockPath.string()), true).finished);
    EXPECT_EQ(readFile(lockPath), ownRecord(kInstallerDescription));
    EXPECT_TRUE(stepAgainstFlock(std::make_shared<UnlockTask>(lockPath.string()), true).finished);
    EXPECT_EQ(fs::file_size(lockPath), 0u);

    const std::string title = "Cannot use the lock file \"" + lockPath.string() + "\"";
    const Outcome kept = stepAgainstFlock(std::make_shared<LockTask>(lockPath.string()), false);
    ASSERT_TRUE(kept.error.has_value());
    EXPECT_EQ(kept.error->localizedDescription(), title);
    EXPECT_EQ(kept.error->localizedRecoverySuggestion(),
              "The installer could not lock it: Resource temporarily unavailable. Please wait a moment and run the "
              "installer again.");
    close(other);

    // A file that may not grow stands for a full file system.
    struct rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
    const struct rlimit tiny = {4, limit.rlim_max};
    const auto previous = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
    LockTask lock(lockPath.string());
    Outcome full;
    lock.setTaskDelegate(&full);
    lock.execute();
    setrlimit(RLIMIT_FSIZE, &limit);
    signal(SIGXFSZ, previous);
    ASSERT_TRUE(full.error.has_value());
    EXPECT_EQ(full.error->localizedDescription(), title);
    EXPECT_EQ(full.error->localizedRecoverySuggestion(),
              "The installer could not write its record into it: File too large. Please check that the disk has free "
              "space and run the installer again.");
    EXPECT_EQ(fs::file_size(lockPath), 0u);
}

TEST_F(LockFileTest, WaitingAcquireTakesTheLockOnceTheHolderEnds) {
    Child holder({"sleep", "30"});
    writeFile(lockPath, record(holder.pid(), "sleep", "Installation"));

    std::optional<int> result;
    std::thread waiter([&] { result = lockFileAcquireWait(lockPath.c_str(), "waited"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(readFile(lockPath), record(holder.pid(), "sleep", "Installation"));
    holder.end();
    waiter.join();
    EXPECT_EQ(result, kLockFileOk);
    EXPECT_EQ(readFile(lockPath), ownRecord("waited"));

    fs::remove(lockPath);
    EXPECT_EQ(lockFileAcquireWait(lockPath.c_str(), "created"), kLockFileOk);
    EXPECT_EQ(readFile(lockPath), ownRecord("created"));
}

// Contenders that all try at once: exactly one takes the lock, the others see it held (or
// find it locked by flock at that very moment).
TEST_F(LockFileTest, RacingProcessesHaveExactlyOneWinner) {
    constexpr int contenders = 8;
    int go[2];
    int replies[2];
    int end[2];
    ASSERT_EQ(pipe2(end, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(go, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(replies, O_CLOEXEC), 0);

    std::vector<pid_t> pids;
    for (int i = 0; i < contenders; ++i) {
        posix_spawn_file_actions_t actions;
        ASSERT_EQ(posix_spawn_file_actions_init(&actions), 0);
        ASSERT_EQ(posix_spawn_file_actions_adddup2(&actions, go[0], STDIN_FILENO), 0);
        ASSERT_EQ(posix_spawn_file_actions_adddup2(&actions, replies[1], STDOUT_FILENO), 0);
        ASSERT_EQ(posix_spawn_file_actions_adddup2(&actions, end[0], 3), 0);
        std::string path = lockPath.string();
        char* argv[] = {const_cast<char*>(LOCK_CONTENDER_PATH), path.data(), nullptr};
        pid_t pid;
        ASSERT_EQ(posix_spawn(&pid, LOCK_CONTENDER_PATH, &actions, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        pids.push_back(pid);
    }
    close(go[0]);
    close(replies[1]);
    close(end[0]);

    std::string start(contenders, 'g');
    ASSERT_EQ(write(go[1], start.data(), start.size()), contenders);
    std::string results;
    while (results.size() < static_cast<std::size_t>(contenders)) {
        char buffer[contenders];
        ssize_t count = read(replies[0], buffer, sizeof buffer);
        ASSERT_GT(count, 0);
        results.append(buffer, count);
    }
    // Every contender has tried while all of them still run; now let them end.
    close(end[1]);
    close(go[1]);
    close(replies[0]);
    int winners = 0;
    for (pid_t pid : pids) {
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        int code = WEXITSTATUS(status);
        EXPECT_TRUE(code == kLockFileOk || code == kLockFileHeld || code == kLockFileCannotLock) << code;
        if (code == kLockFileOk) {
            ++winners;
            EXPECT_EQ(readFile(lockPath), record(pid, "lock_contender", "Contender"));
        }
    }
    EXPECT_EQ(winners, 1);
}

}  // namespace
