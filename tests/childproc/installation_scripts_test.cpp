#include "BashTask.h"
#include "platform/Environment.h"
#include "platform/Process.h"
#include "platform/ProcessName.h"
#include "platform/RunLoop.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const fs::path resources = RESOURCES_DIR;

struct Outcome {
    int status;
    std::string output;
};

std::shared_ptr<platform::Process> start(const fs::path& script, std::vector<std::string> arguments,
                                         std::shared_ptr<platform::Pipe> pipe) {
    auto process = platform::Process::create();
    process->setLaunchPath("/bin/bash");
    arguments.insert(arguments.begin(), script.string());
    process->setArguments(arguments);
    process->setStandardOutput(pipe);
    process->launch();
    return process;
}

Outcome run(const fs::path& script, const std::vector<std::string>& arguments) {
    auto pipe = platform::Pipe::create();
    auto process = start(script, arguments, pipe);
    std::string output = pipe->fileHandleForReading()->readDataToEndOfFile();
    process->waitUntilExit();
    return {process->terminationStatus(), output};
}

// A scratch home and product root for the scripts, with the installer's files in place and a
// lock that names this process as the installer of the run.
class InstallationScripts : public testing::Test {
protected:
    void SetUp() override {
        setenv("RAVELUNE_ROOT", (home.path() / "root").c_str(), 1);
        support = home.path() / "Library" / "Application Support" / "Ravelune";
        fs::create_directories(support / "logs");
        progress = support / "logs" / "progress_catcher.log";
        marker = support / "installer.wait";
        testing_support::writeFile(progress, "");
        lock = home.path() / "ravl.lock";
        writeLock(getpid());
        setenv("RAVELUNE_LOCK_FILE", lock.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("RAVELUNE_ROOT");
        unsetenv("RAVELUNE_LOCK_FILE");
    }

    void writeLock(pid_t holder) const {
        testing_support::writeFile(lock, std::to_string(holder) + "\n" + platform::processName(holder) +
                                             "\nInstallation in progress, please try again later.");
    }

    testing_support::TempHome home;
    fs::path support;
    fs::path progress;
    fs::path marker;
    fs::path lock;
};

}  // namespace

TEST_F(InstallationScripts, SkelCheckerAsksToAllowModulesWithStatus27) {
    const fs::path flag = home.path() / "modules_disabled";
    setenv("RAVELUNE_MODULES_DISABLED_FILE", flag.c_str(), 1);
    testing_support::writeFile(flag, "1\n");
    EXPECT_EQ(run(resources / "SkelCheck/skel_checker.sh", {"0"}).status, 27);
    testing_support::writeFile(flag, "0\n");
    EXPECT_EQ(run(resources / "SkelCheck/skel_checker.sh", {"0"}).status, 0);
    EXPECT_EQ(run(resources / "SkelCheck/skel_checker.sh", {}).status, 1);
    unsetenv("RAVELUNE_MODULES_DISABLED_FILE");
}

TEST_F(InstallationScripts, WaitForDownloadHoldsUntilTheSemaphoreIsCreated) {
    auto pipe = platform::Pipe::create();
    auto waiting = start(resources / "Scripts/wait_for_download.sh",
                         {platform::userName(), "1.0.0.0", marker.string(), progress.string(), "1"}, pipe);
    // It reports its start, then goes on waiting (a few of its one-second looks).
    for (int i = 0; i < 200 && testing_support::readFile(progress).empty(); ++i) {
        std::this_thread::sleep_for(50ms);
    }
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(waiting->isRunning());
    EXPECT_EQ(testing_support::readFile(progress), "1:  0\n");

    EXPECT_EQ(run(resources / "Scripts/create_semaphore.sh", {"SUCCESS", "1.0.0.0"}).status, 0);
    waiting->waitUntilExit();
    EXPECT_EQ(waiting->terminationStatus(), 0);
    EXPECT_EQ(testing_support::readFile(progress), "1:  0\n1:100\n");
    // The marker names the run: the installer, which runs the script itself.
    EXPECT_EQ(testing_support::readFile(marker), "SUCCESS\n1.0.0.0\n" + std::to_string(getpid()) + "\n");

    EXPECT_EQ(run(resources / "Scripts/wait_for_download.sh", {platform::userName(), "1.0.0.0"}).status, 1);
    EXPECT_EQ(run(resources / "Scripts/create_semaphore.sh", {"SUCCESS"}).status, 1);
}

// A batch whose installer was closed or killed must never install: another run's marker does
// not release its wait, which fails within seconds once the lock names another process or the
// run's installer has gone.
TEST_F(InstallationScripts, WaitForDownloadFailsOnceItsRunHasGone) {
    const fs::path script = resources / "Scripts/wait_for_download.sh";
    const std::vector<std::string> arguments{platform::userName(), "1.0.0.0", marker.string(), progress.string(), "1"};
    testing_support::writeFile(marker, "SUCCESS\n1.0.0.0\n1\n");
    // A FIFO put in the lock's place neither holds the wait nor counts as the run's lock.
    for (const std::string lockTakenOver : {"another process", "", "FIFO"}) {
        SCOPED_TRACE(lockTakenOver.empty() ? "the installer has gone" : "the lock is taken over by a " + lockTakenOver);
        auto installer = platform::Process::create();
        installer->setLaunchPath("/bin/sleep");
        installer->setArguments({"30"});
        installer->launch();
        ASSERT_TRUE(platform::RunLoop::runUntil([&] { return platform::processName(installer->processIdentifier()) == "sleep"; }, 5s));
        writeLock(installer->processIdentifier());
        testing_support::writeFile(progress, "");
        auto waiting = start(script, arguments, platform::Pipe::create());
        ASSERT_TRUE(platform::RunLoop::runUntil([&] { return !testing_support::readFile(progress).empty(); }, 5s));
        if (lockTakenOver == "FIFO") {
            fs::remove(lock);
            ASSERT_EQ(::mkfifo(lock.c_str(), 0666), 0);
        } else if (!lockTakenOver.empty()) {
            testing_support::writeFile(lock, "1\nsleep\n");  // another process of the same name
        } else {
            installer->terminate();
        }
        const bool ended = platform::RunLoop::runUntil([&] { return !waiting->isRunning(); }, 10s);
        waiting->terminate();
        installer->terminate();
        ASSERT_TRUE(ended);
        EXPECT_EQ(waiting->terminationStatus(), 1);
    }
    fs::remove(lock);
    EXPECT_EQ(run(script, arguments).status, 1);
}

TEST_F(InstallationScripts, PrepareAppCopiesTheTemplateIntoTheUsersApplications) {
    const fs::path target = home.path() / "Applications" / "Ravelune" / "Demo Game.app";
    const auto outcome = run(resources / "Scripts/prepare_app.sh",
                             {(resources / "Runner.app/.").string(), target.string(), platform::userName(), "1.0.0.0",
                              progress.string(), "3"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_TRUE(fs::exists(target / "Contents" / "Resources" / "game.json"));
    EXPECT_EQ(testing_support::readFile(progress), "3:  0\n3:100\n");

    EXPECT_EQ(run(resources / "Scripts/prepare_app.sh",
                  {(resources / "Runner.app/.").string(), (home.path() / "elsewhere.app").string(), platform::userName(), "1.0.0.0",
                   progress.string(), "3"})
                  .status,
              1);
    EXPECT_FALSE(fs::exists(home.path() / "elsewhere.app"));
}

TEST_F(InstallationScripts, EngineInstallsCompanionAndRegistrationScript) {
    const fs::path archive = home.path() / "engine with space.zip";
    ASSERT_TRUE(BashTask::executeWithPath("/bin/sh", {"-c", "zip -q -r \"$1\" .", "sh", archive.string()},
                                          DEMO_ENGINE_DIR));
    const fs::path checker = resources / "Components/engine_checker.sh";
    EXPECT_TRUE(run(checker, {}).output.starts_with("Not installed"));

    const std::vector<std::string> arguments{archive.string(), platform::userName(), "1.0.0.0", marker.string(), progress.string(), "2"};
    EXPECT_EQ(run(resources / "Components/engine_installer.sh", arguments).status, 1);  // no marker: installer gone
    testing_support::writeFile(marker, "");
    EXPECT_EQ(run(resources / "Components/engine_installer.sh", arguments).status, 0);
    EXPECT_EQ(testing_support::readFile(progress), "2:  0\n2: 50\n2:100\n");
    EXPECT_EQ(run(checker, {}).output, "Version is up to date\n");

    const fs::path root = home.path() / "root" / "Library" / "Ravelune";
    EXPECT_EQ(run(root / "install_user.sh", {"1.0.0.0", progress.string()}).status, 0);
    EXPECT_TRUE(fs::exists(support / "vm" / "ravelune.vdi"));

    setenv("ZORERUROVIDO_STEP_SECONDS", "0", 1);
    const auto companion = run(root / "zorerurovido/Zozivurorido.app/Contents/MacOS/Zozivurorido",
                               {(resources / "Runner.app/Contents/Resources/game.json").string(), "hideform"});
    EXPECT_EQ(companion.status, 0);
    EXPECT_TRUE(companion.output.starts_with("ZorerurovidoProgress:0\n"));
    EXPECT_NE(companion.output.find("ZorerurovidoProgress:100\n"), std::string::npos);
    const auto missing = run(root / "zorerurovido/Zozivurorido.app/Contents/MacOS/Zozivurorido", {"/nonexistent", "hideform"});
    EXPECT_NE(missing.status, 0);
    EXPECT_TRUE(missing.output.starts_with("ZorerurovidoError:"));
}

// Whatever the user puts at the downloaded file's path, the component's installer (run as root in
// the batch) fails at once instead of waiting on it: only a regular file is read.
TEST_F(InstallationScripts, EngineInstallerReadsOnlyARegularFileAndNeverWaits) {
    testing_support::writeFile(marker, "");
    const fs::path archive = home.path() / "RaveluneEngine.zip";
    for (const std::string kind : {"FIFO", "link to a device", "folder"}) {
        SCOPED_TRACE(kind);
        fs::remove_all(archive);
        if (kind == "FIFO") {
            ASSERT_EQ(::mkfifo(archive.c_str(), 0600), 0);
        } else if (kind == "folder") {
            fs::create_directory(archive);
        } else {
            fs::create_symlink("/dev/zero", archive);
        }
        auto installer = start(resources / "Components/engine_installer.sh",
                               {archive.string(), platform::userName(), "1.0.0.0", marker.string(), progress.string(), "2"},
                               platform::Pipe::create());
        // A bound a loaded machine meets; a read that waits never ends at all.
        const bool ended = platform::RunLoop::runUntil([&] { return !installer->isRunning(); }, 30s);
        installer->terminate();
        if (kind == "FIFO") {  // a reader left waiting on it gets its end and goes
            ::close(::open(archive.c_str(), O_WRONLY | O_NONBLOCK));
        }
        ASSERT_TRUE(ended) << "waits on a " << kind;
        EXPECT_EQ(installer->terminationStatus(), 1);
    }
    EXPECT_FALSE(fs::exists(home.path() / "root/Library/Ravelune/version.txt"));
}

TEST_F(InstallationScripts, ScriptsRefuseUnsafeTargets) {
    const fs::path outside = home.path() / "Applications" / "Ravelune" / ".." / ".." / "Victim.app";
    fs::create_directories(home.path() / "Victim.app");
    EXPECT_EQ(run(resources / "Scripts/prepare_app.sh",
                  {(resources / "Runner.app/.").string(), outside.string(), platform::userName(), "1.0.0.0",
                   progress.string(), "3"})
                  .status,
              1);
    EXPECT_TRUE(fs::exists(home.path() / "Victim.app"));

    // A planted link at the progress file gets no write.
    const fs::path victim = home.path() / "victim.txt";
    testing_support::writeFile(victim, "");
    fs::remove(progress);
    fs::create_symlink(victim, progress);
    testing_support::writeFile(marker, "SUCCESS\n1.0.0.0\n" + std::to_string(getpid()) + "\n");
    EXPECT_EQ(run(resources / "Scripts/wait_for_download.sh",
                  {platform::userName(), "1.0.0.0", marker.string(), progress.string(), "1"})
                  .status,
              0);
    EXPECT_EQ(testing_support::readFile(victim), "");

    // An archive with a symbolic link is not installed.
    // Everything else in the archive is sound, so only the link can make it fail.
    const fs::path payload = home.path() / "payload";
    fs::copy(DEMO_ENGINE_DIR, payload, fs::copy_options::recursive);
    fs::remove_all(payload / "disk");
    fs::create_directory_symlink(home.path(), payload / "disk");
    const fs::path archive = home.path() / "linked.zip";
    ASSERT_TRUE(BashTask::executeWithPath("/bin/sh", {"-c", "zip -q -r -y \"$1\" .", "sh", archive.string()},
                                          payload.string()));
    EXPECT_EQ(run(resources / "Components/engine_installer.sh",
                  {archive.string(), platform::userName(), "1.0.0.0", marker.string(), progress.string(), "2"})
                  .status,
              1);

    // Run by root for another user, the scripts touch the user's files with that user's rights
    // alone: links planted there lead to nothing only root may write or read.
    if (::geteuid() != 0) {
        return;
    }
    const fs::path rootOnly = home.path() / "root-only";
    fs::create_directory(rootOnly);
    fs::permissions(rootOnly, fs::perms::owner_all);
    fs::permissions(home.path(), fs::perms::others_exec, fs::perm_options::add);
    testing_support::writeFile(rootOnly / "progress_catcher.log", "");
    fs::create_directory_symlink(rootOnly, home.path() / "logs-link");
    const fs::path linkedProgress = home.path() / "logs-link" / "progress_catcher.log";
    fs::create_directories(home.path() / "Applications");
    fs::create_directory_symlink(rootOnly, home.path() / "Applications" / "Ravelune");
    EXPECT_EQ(run(resources / "Scripts/prepare_app.sh",
                  {(resources / "Runner.app/.").string(), (home.path() / "Applications/Ravelune/Game.app").string(),
                   "nobody", "1.0.0.0", linkedProgress.string(), "3"})
                  .status,
              1);
    EXPECT_FALSE(fs::exists(rootOnly / "Game.app"));
    EXPECT_EQ(testing_support::readFile(rootOnly / "progress_catcher.log"), "");
    ASSERT_TRUE(BashTask::executeWithPath("/bin/sh", {"-c", "zip -q -r \"$1\" .", "sh", (rootOnly / "engine.zip").string()},
                                          DEMO_ENGINE_DIR));
    fs::create_symlink(rootOnly / "engine.zip", home.path() / "engine.zip");
    EXPECT_EQ(run(resources / "Components/engine_installer.sh",
                  {(home.path() / "engine.zip").string(), "nobody", "1.0.0.0", marker.string(), progress.string(), "2"})
                  .status,
              1);
    EXPECT_FALSE(fs::exists(home.path() / "root/Library/Ravelune/version.txt"));
    // Nor does root's own "SUCCESS" behind a linked folder release the wait.
    testing_support::writeFile(rootOnly / "installer.wait", "SUCCESS\n1.0.0.0\n" + std::to_string(getpid()) + "\n");
    setenv("RAVELUNE_WAIT_LIMIT", "1", 1);
    EXPECT_EQ(run(resources / "Scripts/wait_for_download.sh",
                  {"nobody", "1.0.0.0", (home.path() / "logs-link/installer.wait").string(), progress.string(), "1"})
                  .status,
              1);
    unsetenv("RAVELUNE_WAIT_LIMIT");
}
