#include "LockFile.h"
#include "lock_test_support.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

using lock_testing::Child;
using lock_testing::record;
using testing_support::readFile;
using testing_support::writeFile;
namespace fs = std::filesystem;

namespace {

class LockToolTest : public testing::Test {
protected:
    // Runs the tool with the given argument text; returns its exit code, its stderr in `errors`.
    // `prefix` comes before the tool's path (another user, another umask).
    int tool(const std::string& arguments, const std::string& prefix = "") {
        fs::path errorsPath = dir.path() / "stderr.txt";
        std::string command = prefix + "'" + LOCK_TOOL_PATH + "' " + arguments + " 2>'" + errorsPath.string() + "'";
        int status = std::system(command.c_str());
        errors = readFile(errorsPath);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string quoted(const fs::path& path) { return "'" + path.string() + "'"; }

    testing_support::TempDir dir;
    fs::path lockPath = dir.path() / "ravl.lock";
    std::string errors;
};

TEST_F(LockToolTest, ArgumentsAndOptions) {
    std::string path = quoted(lockPath);
    EXPECT_EQ(tool(""), 1);
    EXPECT_EQ(tool("-c"), 1);
    EXPECT_EQ(tool("-cc " + path), 2);
    EXPECT_EQ(tool("c " + path), 2);
    EXPECT_EQ(tool("-x " + path), 3);
    EXPECT_EQ(tool("-c " + path + " extra"), 1);
    EXPECT_EQ(tool("-u " + path + " extra"), 1);
    EXPECT_EQ(tool("-l " + path), 1);
    // Only the option's second character counts.
    EXPECT_EQ(tool("xc " + path), kLockFileFree);
    EXPECT_FALSE(fs::exists(lockPath));
}

TEST_F(LockToolTest, CheckTakeAndGiveBack) {
    std::string path = quoted(lockPath);
    EXPECT_EQ(tool("-l " + path + " 'Game update'"), kLockFileOk);
    std::string written = readFile(lockPath);
    EXPECT_EQ(written.substr(written.find('\n')), "\nlock_tool\nGame update");
    // The tool has ended, so its record no longer holds the lock.
    EXPECT_EQ(tool("-c " + path), kLockFileFree);
    EXPECT_EQ(errors, "");

    Child holder({"sleep", "30"});
    writeFile(lockPath, record(holder.pid(), "sleep", "Installation in progress, please try again later."));
    EXPECT_EQ(tool("-c " + path), kLockFileHeld);
    EXPECT_EQ(errors, "Installation in progress, please try again later.\n");

    EXPECT_EQ(tool("-u " + path), kLockFileOk);
    EXPECT_EQ(fs::file_size(lockPath), 0u);
    EXPECT_EQ(tool("-u " + path), kLockFileOk);

    fs::remove(lockPath);
    fs::create_symlink(dir.path() / "elsewhere", lockPath);
    EXPECT_EQ(tool("-c " + path), kLockFileCannotOpenForReading);
    EXPECT_NE(errors.find("Could not open file: "), std::string::npos);
    EXPECT_EQ(tool("-l " + path + " x"), kLockFileCannotOpenForWriting);
    writeFile(dir.path() / "elsewhere", "");
    EXPECT_EQ(tool("-u " + path), kLockFileCannotOpenForRelease);
}

// Runs of different users share /tmp: whatever one user's run leaves (emptied after success, a
// record after failure) lets another user's later run take the lock, however narrow their umask.
TEST_F(LockToolTest, AnotherUsersEndedRunLeavesTheLockFree) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "only root can run the tool as two other users";
    }
    const std::string shared = "/tmp/lock-users-" + std::to_string(getpid());
    fs::create_directory(shared);
    fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
    const std::string path = quoted(shared + "/ravl.lock");
    auto as = [](int user) {
        return "umask 077; setpriv --reuid=" + std::to_string(user) + " --regid=" + std::to_string(user) + " --clear-groups ";
    };
    EXPECT_EQ(tool("-l " + path + " first", as(1000)), kLockFileOk);
    EXPECT_EQ(tool("-u " + path, as(1000)), kLockFileOk);
    EXPECT_EQ(tool("-l " + path + " second", as(1001)), kLockFileOk) << errors;
    EXPECT_EQ(tool("-l " + path + " third", as(1000)), kLockFileOk) << errors;
    // A file an earlier version left open to its owner alone is opened up at its owner's next run.
    EXPECT_EQ(tool("-u " + path, as(1000)), kLockFileOk);
    fs::permissions(shared + "/ravl.lock", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                               fs::perms::others_read | fs::perms::others_exec);
    EXPECT_EQ(tool("-l " + path + " fourth", as(1000)), kLockFileOk) << errors;
    EXPECT_EQ(tool("-u " + path, as(1000)), kLockFileOk);
    EXPECT_EQ(tool("-l " + path + " fifth", as(1001)), kLockFileOk) << errors;
    // A live holder still excludes every other user.
    Child holder({"sleep", "30"});
    writeFile(shared + "/ravl.lock", record(holder.pid(), "sleep", "Installation"));
    EXPECT_EQ(tool("-c " + path, as(1001)), kLockFileHeld);
    fs::remove_all(shared);
}

// A record that did not reach the file (the file system is full) is no lock taken.
TEST_F(LockToolTest, RecordThatCannotBeWrittenFailsTheAcquisition) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "only root can mount a small file system in a namespace of its own";
    }
    const fs::path full = dir.path() / "full";
    fs::create_directory(full);
    const std::string lock = quoted(full / "ravl.lock");
    const std::string at = "\"" + full.string() + "\"";
    const std::string prefix = "unshare -m sh -c 'mount -t tmpfs -o size=4k tmpfs " + at + " && : >" + at +
                               "/ravl.lock && { cat /dev/zero >" + at + "/fill 2>/dev/null; \"$0\" \"$@\"; }' ";
    EXPECT_EQ(tool("-l " + lock + " x", prefix), kLockFileCannotOpenForWriting) << errors;
}

}  // namespace
