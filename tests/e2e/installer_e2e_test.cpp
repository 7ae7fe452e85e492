// The built installer, end to end, in a throw-away copy of the machine (scripts/sandbox.sh)
// against the loopback download, statistics and log hosts of tests/e2e/demo_server.
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::writeFile;

namespace {

std::string quoted(const fs::path& path) {
    std::string text = "'";
    for (char c : path.string()) {
        text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return text + "'";
}

// Seconds one installer run may take in the sandbox; a loaded machine meets it.
constexpr int kRunBound = 120;

struct Outcome {
    fs::path keep;
    std::vector<int> statuses;
    std::string log;             // installer.log
    std::string requests;        // the server's record: "<host> <method> <path> <body lines>"
    fs::path home() const { return keep / "home"; }
    fs::path support() const { return home() / "Library/Application Support/Ravelune"; }
};

// Skips without a sandbox; ends a test whose run did not finish in time, which has failed already.
#define REQUIRE_FINISHED_RUNS()                                                  \
    if (skipped) GTEST_SKIP() << "needs root or unprivileged user namespaces"; \
    if (timedOut) return

class InstallerEndToEnd : public ::testing::Test {
protected:
    // Runs the installer in the sandbox with the given environment words ("RUNS=2", ...).
    // The remote document is the demo's own unless given.
    Outcome run(const std::string& environment,
                const std::string& document = readFile(SOURCE_DIR "/demo/server/installer/installer.json")) {
        // Inside the keep folder, the one folder of the host that the sandbox sees.
        Outcome result;
        result.keep = work.path() / "keep";
        fs::remove_all(result.keep);
        const fs::path served = result.keep / "served/installer";
        writeFile(served / "installer.json", document);
        const std::string zip = "cd " + quoted(DEMO_ENGINE_DIR) + " && zip -q -r " + quoted(served / "RaveluneEngine.zip") + " .";
        EXPECT_EQ(std::system(zip.c_str()), 0);

        // A hanging run still leaves its files to look at, well before the sandbox's own limit.
        // The sandbox starts from the PATH of an ordinary user's login shell, which has no sbin folders.
        const fs::path out = work.path() / "sandbox.out";
        const std::string command = "PATH=/usr/local/bin:/usr/bin:/bin SANDBOX_TIMEOUT=500 SANDBOX_BRING_IN=" +
                                    quoted(BINARY_DIR) + " " +
                                    quoted(SOURCE_DIR "/scripts/sandbox.sh") + " " + quoted(result.keep) + " " +
                                    quoted(DOWNLOAD_HOST " " STATS_HOST " " LOG_HOST) + " env INSTALLER_TIMEOUT=" +
                                    std::to_string(kRunBound) + " LOCK_TOOL=" + quoted(LOCK_TOOL) + " " + environment + " " +
                                    quoted(SOURCE_DIR "/scripts/sandboxed-install.sh") + " " +
                                    quoted(result.keep) + " " + quoted(INSTALLER) + " " + quoted(DEMO_SERVER) + " " +
                                    quoted(result.keep / "served") + " >" + quoted(out) + " 2>&1";
        const int status = std::system(command.c_str());
        if ((skipped = WIFEXITED(status) && WEXITSTATUS(status) == 77)) {
            return result;
        }
        EXPECT_EQ(status, 0) << readFile(out);
        std::istringstream statuses(readFile(result.keep / "status"));
        for (int value; statuses >> value;) {
            result.statuses.push_back(value);
        }
        result.log = readFile(result.support() / "logs/installer.log");
        result.requests = readFile(result.keep / "record/requests");
        std::istringstream late(readFile(result.keep / "timed-out"));
        for (int number; late >> number;) {
            timedOut = true;
            ADD_FAILURE() << "Run " << number << ": the installer did not finish within " << kRunBound
                          << " s; it was ended. Its log:\n" << result.log;
        }
        return result;
    }

    static int count(const std::string& text, const std::string& pattern) {
        const std::regex expression(pattern);
        return static_cast<int>(std::distance(std::sregex_iterator(text.begin(), text.end(), expression), std::sregex_iterator()));
    }

    // One run that ended with exactly one failure alert, whose title and advice match the pattern.
    static void expectFailureAlert(const Outcome& result, const std::string& pattern) {
        EXPECT_EQ(result.statuses, std::vector<int>{1});
        EXPECT_EQ(count(result.log, "Critical alert: " + pattern), 1) << result.log;
        EXPECT_EQ(count(result.log, "Critical alert: "), 1);
    }

    // Closed or killed while it downloads: the batch it started fails in its wait step within
    // seconds and installs nothing; the next run installs each component once.
    void expectTheBatchLeftBehindNeverInstalls(const std::string& signal, int status) {
        const Outcome result = run("RUNS=2 SIGNAL_WHEN=downloading SIGNAL=" + signal);
        REQUIRE_FINISHED_RUNS();
        EXPECT_EQ(result.statuses, (std::vector<int>{status, 0})) << result.log;
        EXPECT_LT(std::stoi(readFile(result.keep / "left-running")), 100);
        const std::string progress = readFile(result.support() / "logs/progress.log");
        EXPECT_EQ(count(progress, "(^|\n)1: Waiting when download finished\n"), 2) << progress;
        for (const char* step : {"2: Ravelune Engine", "3: Copying app and changing attributes", "4: Create URL shortcut App"}) {
            EXPECT_EQ(count(progress, std::string("(^|\n)") + step + "\n"), 1) << progress;
        }
        EXPECT_TRUE(fs::exists(result.keep / "Library/Ravelune/version.txt"));
    }

    testing_support::TempDir work;
    bool skipped = false;
    bool timedOut = false;
};

TEST_F(InstallerEndToEnd, FreshInstallThenEverythingUpToDate) {
    const Outcome result = run("RUNS=2 STALE_MARKER=1");
    REQUIRE_FINISHED_RUNS();
    EXPECT_EQ(result.statuses, (std::vector<int>{0, 0})) << result.log;

    // First run: the component is missing, downloaded once, installed; the second finds it.
    EXPECT_EQ(count(result.log, "Installer 1\\.0\\.0\\.0 started to work\\."), 2);
    EXPECT_EQ(count(result.log, "'Ravelune Engine' not installed!!!"), 1);
    EXPECT_EQ(count(result.log, "'Ravelune Engine' version is up to date"), 1);
    EXPECT_EQ(count(result.requests, " GET /installer/RaveluneEngine\\.zip "), 1) << result.requests;

    EXPECT_TRUE(std::regex_match(readFile(result.support() / "installid.dat"), std::regex("[0-9A-F]{32}")));
    EXPECT_FALSE(readFile(result.support() / "hwid.dat").empty());
    EXPECT_EQ(count(result.log, "whith hardwareId"), 1);  // written once, then kept
    EXPECT_NE(readFile(result.support() / "com.ravelune.demogame.json").find("com.ravelune.demogame"), std::string::npos);
    EXPECT_TRUE(fs::exists(result.home() / "Applications/Ravelune/Ravelune.app/Contents/Resources/game.json"));
    EXPECT_TRUE(fs::exists(result.home() / "Applications/Ravelune/Ravelune on the Web.app/Contents/Info.plist"));
    EXPECT_TRUE(fs::exists(result.keep / "Library/Ravelune/zorerurovido/Zozivurorido.app/Contents/MacOS/Zozivurorido"));
    EXPECT_TRUE(fs::exists(result.support() / "vm/ravelune.vdi"));
    EXPECT_EQ(readFile(result.keep / "ravl.lock"), "");
    EXPECT_FALSE(fs::exists(result.support() / "installer.wait"));
    // The marker a killed run left goes once the lock is taken, so the batch waits for this
    // run's download; each run removes its own at the end.
    EXPECT_EQ(count(result.log, "Removed file [^\n]*/installer\\.wait\\."), 3);

    // What the receivers got by the time the runs ended: the final flushes.
    EXPECT_GT(count(result.requests, "(^|\n)" STATS_HOST " POST "), 0) << result.requests;
    EXPECT_GT(count(result.requests, "(^|\n)" LOG_HOST " POST /bulk/[^ ]*/tag/ravelune [1-9]"), 0) << result.requests;
}

TEST_F(InstallerEndToEnd, AnotherLiveInstallerKeepsItsFiles) {
    const Outcome result = run("HOLD_LOCK=1");
    REQUIRE_FINISHED_RUNS();
    expectFailureAlert(result, "Installation in progress, please try again later\\. Advice: \r?\n");
    EXPECT_EQ(readFile(result.keep / "RaveluneEngine.zip"), "partial download");
    EXPECT_EQ(readFile(result.support() / "logs/progress_catcher.log"), "2: 50\n");
    EXPECT_EQ(readFile(result.support() / "installer.wait"), "running\n");
    EXPECT_FALSE(fs::exists(result.keep / "Library/Ravelune"));
    EXPECT_FALSE(fs::exists(result.home() / "Applications"));
}

TEST_F(InstallerEndToEnd, BatchStepFailingWith27AsksForApproval) {
    const Outcome result = run("MODULES_DISABLED=1");
    REQUIRE_FINISHED_RUNS();
    expectFailureAlert(result, "User approval for game installation required Advice: A program tried to load new system "
                               "extensions");
    EXPECT_FALSE(fs::exists(result.home() / "Applications"));
}

TEST_F(InstallerEndToEnd, HostileApplicationNameRunsNothing) {
    // "cd" alone goes home, so commands that ran would leave their file where the test looks.
    const Outcome result = run("RUNS=1", R"json({"AppName": "Evil$(cd;touch HACKED)`cd;touch HACKED`\";cd;touch HACKED;\"\n",
                                  "UrlShortcut": {"Caption": "x$(cd;touch HACKED)"}})json");
    REQUIRE_FINISHED_RUNS();
    // The name is taken literally (the line end removed): no shell ever read it as commands.
    EXPECT_EQ(result.statuses, std::vector<int>{0}) << result.log;
    EXPECT_TRUE(fs::exists(result.home() / "Applications/Ravelune/Evil$(cd;touch HACKED)`cd;touch HACKED`\";cd;touch HACKED;\".app"));
    for (const auto& entry : fs::recursive_directory_iterator(result.keep)) {
        EXPECT_NE(entry.path().filename(), "HACKED") << entry.path();
    }
    EXPECT_EQ(count(readFile(result.keep / "tmp.txt"), "(^|\n)HACKED\n"), 0);
}

TEST_F(InstallerEndToEnd, EndingWhileTheRemoteDocumentIsSlowDropsItsLateAnswer) {
    // SIGTERM, as closing the window would end it, once the document has been asked for; it takes 20 s.
    const Outcome result = run("SIGNAL=TERM SIGNAL_WHEN=document SLOW_DOCUMENT=20000");
    REQUIRE_FINISHED_RUNS();
    EXPECT_EQ(result.statuses, std::vector<int>{2});
    EXPECT_EQ(count(result.log, "\nINFO [^\n]* - App will terminate\n"), 1) << result.log;
    // Nothing after the document: no statistics of the start, no checker, no lock.
    EXPECT_EQ(count(result.log, "event status 22|not installed|acquired the lock"), 0) << result.log;
    EXPECT_FALSE(fs::exists(result.keep / "ravl.lock"));
}

TEST_F(InstallerEndToEnd, FailingDownloadServerEndsWithTheDownloaderAlert) {
    const Outcome result = run("FAIL_DOWNLOADS=1");
    REQUIRE_FINISHED_RUNS();
    expectFailureAlert(result, "Cannot download \"Ravelune Engine\" Advice: The download from "
                               "http://downloads\\.ravelune\\.example/installer/RaveluneEngine\\.zip failed");
    EXPECT_FALSE(fs::exists(result.keep / "Library/Ravelune"));
}

TEST_F(InstallerEndToEnd, BatchOfAClosedRunNeverInstalls) {
    expectTheBatchLeftBehindNeverInstalls("TERM", 2);
}

TEST_F(InstallerEndToEnd, BatchOfAKilledRunNeverInstalls) {
    expectTheBatchLeftBehindNeverInstalls("KILL", 128 + 9);
}

// A run started at once after one was killed while it downloads waits the moment that the killed
// run's batch needs to give up in its wait step, and installs.
TEST_F(InstallerEndToEnd, RunStartedAtOnceAfterOneKilledWhileItDownloadsInstalls) {
    const Outcome result = run("SIGNAL=KILL SIGNAL_WHEN=downloading NEXT=at-once");
    REQUIRE_FINISHED_RUNS();
    EXPECT_EQ(result.statuses, (std::vector<int>{128 + 9, 0})) << result.log;
    EXPECT_EQ(count(result.log, "kept only by the administrator batch of an installer that has ended"), 1);
    const std::string progress = readFile(result.support() / "logs/progress.log");
    EXPECT_EQ(count(progress, "(^|\n)2: Ravelune Engine\n"), 1) << progress;
    EXPECT_TRUE(fs::exists(result.keep / "Library/Ravelune/version.txt"));
}

// A run that has given the lock back (its companion still runs) and is then closed leaves the
// marker of the run of the same user that took the lock after it: that run installs.
TEST_F(InstallerEndToEnd, RunClosedAfterItGaveTheLockBackLeavesTheNextRunsMarker) {
    const Outcome result = run("OVERLAP=1");
    REQUIRE_FINISHED_RUNS();
    EXPECT_EQ(result.statuses, (std::vector<int>{2, 0})) << result.log;
    EXPECT_FALSE(fs::exists(result.support() / "installer.wait"));
}

// Asked to end once the batch may be installing (SIGTERM, or Ctrl-C at the terminal whose
// foreground job it is): the installer says it cannot stop now, takes no further request, and
// quits as asked once the batch has ended, every step of which has run.
TEST_F(InstallerEndToEnd, AskedToEndWhileTheBatchInstallsQuitsAfterIt) {
    for (const char* asking : {"SIGNAL=TERM", "TERMINAL=1 SIGNAL=INT"}) {
        SCOPED_TRACE(asking);
        const Outcome result = run(std::string(asking) + " SIGNAL_WHEN=installing");
        REQUIRE_FINISHED_RUNS();
        EXPECT_EQ(result.statuses, std::vector<int>{2});
        EXPECT_EQ(count(result.log, "The installation cannot be stopped now\\. The installer will quit when it has finished\\."), 1)
            << result.log;
        EXPECT_EQ(readFile(result.keep / "left-running"), "0\n");
        EXPECT_TRUE(fs::exists(result.keep / "Library/Ravelune/version.txt"));
        EXPECT_TRUE(fs::exists(result.home() / "Applications/Ravelune/Ravelune on the Web.app/Contents/Info.plist"));
        EXPECT_FALSE(fs::exists(result.support() / "vm/ravelune.vdi"));  // no step after the batch
    }
}

// Killed while its batch installs: the batch goes on, and the lock stays taken until it ends.
TEST_F(InstallerEndToEnd, BatchOfARunKilledWhileItInstallsKeepsTheLockUntilItEnds) {
    const Outcome result = run("SIGNAL=KILL SIGNAL_WHEN=installing");
    REQUIRE_FINISHED_RUNS();
    EXPECT_EQ(result.statuses, std::vector<int>{128 + 9});
    const int held = std::stoi(readFile(result.keep / "left-running"));
    EXPECT_GT(held, 0);
    EXPECT_LT(held, 200);
    EXPECT_TRUE(fs::exists(result.home() / "Applications/Ravelune/Ravelune on the Web.app/Contents/Info.plist"));
}

// Ctrl-C at the terminal where a wrapper script started the installer ends it during the
// download at once: its batch gives up in its wait step.
TEST_F(InstallerEndToEnd, CtrlCAtTheTerminalOfAWrapperScriptEndsTheDownload) {
    const Outcome result = run("TERMINAL=wrapper SIGNAL=INT SIGNAL_WHEN=downloading");
    REQUIRE_FINISHED_RUNS();
    EXPECT_EQ(result.statuses, std::vector<int>{2}) << readFile(result.keep / "terminal.out");
    EXPECT_LT(std::stoi(readFile(result.keep / "left-running")), 100);
    const std::string progress = readFile(result.support() / "logs/progress.log");
    EXPECT_EQ(count(progress, "(^|\n)1: Waiting when download finished\n"), 1) << progress;
    EXPECT_EQ(count(progress, "(^|\n)[2-9]: "), 0) << progress;
}

// A background process that a step leaves (a service, a helper) keeps no lock once the run has
// ended: the next run installs while it still runs.
TEST_F(InstallerEndToEnd, WhatAStepLeavesRunningKeepsNoLock) {
    const Outcome checker = run("RUNS=2 LEAVE_RUNNING=checker SIGNAL=TERM SIGNAL_WHEN=downloading");
    REQUIRE_FINISHED_RUNS();
    EXPECT_EQ(checker.statuses, (std::vector<int>{2, 0})) << checker.log;
    EXPECT_EQ(readFile(checker.keep / "left-alive"), "1\n");

    const Outcome installer = run("RUNS=2 LEAVE_RUNNING=installer");
    REQUIRE_FINISHED_RUNS();
    EXPECT_EQ(installer.statuses, (std::vector<int>{1, 0})) << installer.log;
    EXPECT_EQ(count(installer.log, "Critical alert: Installation of base component failed"), 1) << installer.log;
    EXPECT_EQ(readFile(installer.keep / "left-alive"), "1\n");
    EXPECT_TRUE(fs::exists(installer.keep / "Library/Ravelune/version.txt"));
}

}  // namespace
