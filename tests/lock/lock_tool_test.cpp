#include "LockFile.h"
#include "lock_test_support.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>

using lock_testing::Child;
using lock_testing::record;
using testing_support::readFile;
using testing_support::writeFile;
namespace fs = std::filesystem;

namespace {

class LockToolTest : public testing::Test {
protected:
    // Runs the tool with the given argument text; returns its exit code, its stderr in `errors`.
    int tool(const std::string& arguments) {
        fs::path errorsPath = dir.path() / "stderr.txt";
        std::string command = std::string("'") + LOCK_TOOL_PATH + "' " + arguments + " 2>'" + errorsPath.string() + "'";
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

}  // namespace
