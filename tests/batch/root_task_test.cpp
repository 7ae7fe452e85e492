#include "RootTask.h"
#include "platform/Application.h"
#include "platform/Dispatch.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/RunLoop.h"
#include "support/fake_pkexec.h"
#include "support/log_capture.h"
#include "support/temp_home.h"
#include "childproc/recorders.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testing_support::FakePkexec;
using testing_support::Road;
using testing_support::readFile;
using testing_support::writeFile;

namespace {

std::shared_ptr<BashTask> step(const std::string& name, const std::vector<std::string>& arguments,
                               double estimated = 0, const std::string& path = "/bin/bash") {
    auto task = std::make_shared<BashTask>(path, arguments);
    task->setName(name);
    task->setEstimated(estimated);
    return task;
}

// A batch in a scratch home whose name the shell must not run, with the progress file in place,
// its reports and actions written down. It runs through the fake pkexec unless a test picks a road.
class Batch : public testing::Test {
protected:
    void SetUp() override { start(Road::Pkexec); }
    // A fresh batch on `road`; skipped when this user cannot take it.
    void start(Road road, FakePkexec::Behaviour behaviour = FakePkexec::Behaviour::Authorise) {
        if (const auto reason = testing_support::takeRoad(pkexec, road, behaviour)) {
            GTEST_SKIP() << *reason;
        }
        setenv("HOME", hostileHome.c_str(), 1);
        writeFile(progressFile, "");
        writeFile(platform::paths::applicationSupportDirectory() / "hwid.dat", "HWID0001");
        batch = std::make_shared<RootTask>();
        recorder = RecordingDelegate();
        actions.clear();
        batch->setTaskDelegate(&recorder);
        batch->setActionSender([this](std::int64_t code) {
            // Sent from the worker; written down on the main thread, where the test reads it.
            const bool offMain = !platform::RunLoop::isMainThread();
            platform::dispatch::asyncMain([this, code, offMain] {
                actionsOffMain = actionsOffMain && offMain;
                actions.push_back(code);
            });
        });
    }
    // Runs the batch to its report.
    void run() {
        batch->execute();
        ASSERT_TRUE(platform::RunLoop::runUntil([&] { return !recorder.events.empty(); }, 20s));
        platform::RunLoop::runUntil([&] { return recorder.events[0] == "finished" || !actions.empty(); }, 5s);
    }
    void failWith(const std::string& shellText) {
        batch->addBashTask(step("Failing", {"-c", shellText}, 0, "/bin/sh"));
        run();
        ASSERT_EQ(recorder.events, std::vector<std::string>{"error"});
        EXPECT_EQ(recorder.error->domain(), "RootTask");
        EXPECT_EQ(recorder.error->code(), -1);
        EXPECT_EQ(recorder.error->underlyingError(), "Script error");
    }
    std::string title() const { return recorder.error->localizedDescription(); }
    std::string advice() const { return recorder.error->localizedRecoverySuggestion().value_or("<none>"); }

    testing_support::TempHome home;
    const fs::path hostileHome = home.path() / "h\";touch pwned0;\"";
    const fs::path progressFile = hostileHome / "Library/Application Support/Ravelune/logs/progress_catcher.log";
    std::optional<FakePkexec> pkexec;
    RecordingDelegate recorder;
    std::shared_ptr<RootTask> batch;
    std::vector<std::int64_t> actions;
    bool actionsOffMain = true;
};

// The same on each road; the root road only for root.
class BatchOnEachRoad : public Batch, public testing::WithParamInterface<Road> {
protected:
    void SetUp() override { start(GetParam()); }
};

const std::string reportTitle = "Installation of base component failed\\.\nHWID0001\nTime:\\d\\d\\.\\d\\d\\.\\d\\d \\d\\d:\\d\\d:\\d\\d";

}  // namespace

TEST(RootTaskScript, WorkedExampleByteForByteAndItsShapes) {
    testing_support::TempHome restoresHome;
    setenv("HOME", "/Users/u", 1);
    RootTask batch;
    batch.addBashTask(step("First", {"/tmp/a.sh", "x y"}));
    batch.addBashTask(step("Second", {"/tmp/b.sh"}));
    // Each announcement is guarded: it goes only into a regular file that is not a link.
    const std::string log = R"(\"/Users/u/Library/Application Support/Ravelune/logs/progress.log\")";
    const std::string guard = "[ ! -f " + log + " ] || [ -L " + log + " ] || ";
    EXPECT_EQ(batch.scriptSource(),
              "do shell script \"(" + guard + R"(echo \"0: First\" >> )" + log + R"( 2>&1; /bin/bash \"/tmp/a.sh\" \"x y\" \"0\") && ()" +
                  guard + R"(echo \"1: Second\" >> )" + log + R"( 2>&1; /bin/bash \"/tmp/b.sh\" \"1\"); " with administrator privileges)");

    RootTask one;
    one.addBashTask(step("Only", {}));
    const std::string source = one.scriptSource();
    EXPECT_NE(source.find(R"(/bin/bash  \"0\"); " with)"), std::string::npos);
    EXPECT_EQ(source.find("&&"), std::string::npos);

    batch.addBashTask(step("Third", {"-l"}));
    const std::string three = batch.scriptSource();
    EXPECT_EQ(std::count(three.begin(), three.end(), '&'), 3 + 4);  // three "2>&1", two "&&"
    EXPECT_NE(three.find(R"(/bin/bash -l \"2\"); ")"), std::string::npos);
    EXPECT_EQ(RootTask().scriptSource(), R"(do shell script "" with administrator privileges)");
}

TEST_P(BatchOnEachRoad, HostileNamesAndArgumentsReachTheShellAsPlainText) {
    const fs::path folder = home.path() / "work";
    fs::create_directories(folder);
    const fs::path previous = fs::current_path();
    fs::current_path(folder);
    const fs::path script = home.path() / "args.sh";
    writeFile(script, "printf '%s\\n---\\n' \"$@\" >> \"" + (home.path() / "received").string() + "\"\n");
    const std::vector<std::string> payloads{"x$(touch pwned1)", "x`touch pwned2`", "a\"; touch pwned3; \"",
                                            "line\nbreak $(touch pwned4)", "back\\slash", "a\\\"; touch pwned5; \""};
    for (const auto& payload : payloads) {
        batch->addBashTask(step(payload, {script.string(), payload}));
    }
    run();
    fs::current_path(previous);
    EXPECT_EQ(recorder.events, std::vector<std::string>{"finished"});
    std::string expected;
    std::string announced;
    for (std::size_t index = 0; index < payloads.size(); ++index) {
        expected += payloads[index] + "\n---\n" + std::to_string(index) + "\n---\n";
        announced += std::to_string(index) + ": " + payloads[index] + "\n";
    }
    EXPECT_EQ(readFile(home.path() / "received"), expected);
    EXPECT_EQ(readFile(platform::paths::logsDirectory() / "progress.log"), announced);
    for (const fs::path& place : {folder, home.path(), fs::path("/tmp")}) {
        for (const char* name : {"pwned0", "pwned1", "pwned2", "pwned3", "pwned4", "pwned5"}) {
            EXPECT_FALSE(fs::exists(place / name)) << (place / name);
        }
    }
}

TEST_F(Batch, ProgressIsReadAtTheFixedOffsetsOfEachWrite) {
    batch->addBashTask(step("Check", {"-c", "true"}, 0, "/bin/sh"));
    batch->addBashTask(step("Wait", {"-c", "true"}, 10000, "/bin/sh"));
    batch->addBashTask(step("Install", {"-c", "true"}, 200000000, "/bin/sh"));
    run();
    ASSERT_EQ(recorder.events, std::vector<std::string>{"finished"});
    const fs::path file = platform::paths::logsDirectory() / "progress_catcher.log";
    // The follower outlives the batch: the file is still followed.
    auto write = [&](const std::string& text, std::size_t reports) {
        std::ofstream(file, std::ios::app | std::ios::binary) << text << std::flush;
        EXPECT_TRUE(platform::RunLoop::runUntil([&] { return recorder.progress.size() == reports; }, 5s)) << text;
    };
    write("0:100\n", 1);
    write("1:50\n", 2);
    write("2:045\n", 3);
    write("1:50\n2:100\n", 4);  // only the first line counts
    for (const std::string ignored : {"1:5", "7:050\n", "3:050\n", "\xff:050\n", "x"}) {
        write(ignored, 4);
        platform::RunLoop::runFor(150ms);  // read by itself, not with the next write
    }
    write("2:  7\n", 5);
    // One write longer than a read (64 KiB): its line cut by the read is read whole with the next one.
    write("0:050\n" + std::string(64 * 1024 - 11, 'x') + "\n1:070\n", 7);
    platform::RunLoop::runFor(100ms);
    EXPECT_EQ(recorder.progress, (std::vector<double>{0, 5000, 10000 + 200000000.0 * 45 / 100.0, 5000,
                                                      10000 + 200000000.0 * 7 / 100.0, 0, 7000}));
}

// The batch's files serve only as regular files: the announcement never goes through a link, a
// FIFO as the progress file never keeps execute() waiting for a writer, and neither it nor a
// device that never ends is followed.
TEST_F(Batch, FilesThatAreNotRegularAreNeitherWrittenNorFollowed) {
    const fs::path victim = home.path() / "owned-by-someone-else";
    writeFile(victim, "kept\n");
    fs::create_symlink(victim, platform::paths::logsDirectory() / "progress.log");
    const fs::path writerCame = home.path() / "writer-came";
    for (const bool fifo : {true, false}) {
        SCOPED_TRACE(fifo ? "FIFO" : "/dev/zero");
        fs::remove(progressFile);  // emptied by start(), a FIFO would keep the test waiting
        start(Road::Pkexec);
        fs::remove(progressFile);
        if (fifo) {
            ASSERT_EQ(::mkfifo(progressFile.c_str(), 0600), 0);
        } else {
            fs::create_symlink("/dev/zero", progressFile);
        }
        // Should execute() wait for a writer, one comes after a second.
        fs::remove(writerCame);
        auto writer = platform::Process::create();
        writer->setLaunchPath("/bin/sh");
        writer->setArguments({"-c", "sleep 1; touch \"$1\"; echo 0:100 > \"$0\"", progressFile.string(), writerCame.string()});
        writer->launch();
        batch->addBashTask(step("Step", {"-c", "sleep 0.3"}, 100, "/bin/sh"));
        batch->execute();
        EXPECT_FALSE(fs::exists(writerCame)) << "execute() waited for a writer";
        ASSERT_TRUE(platform::RunLoop::runUntil([&] { return !recorder.events.empty(); }, 20s));
        writer->terminate();
        EXPECT_EQ(recorder.events, std::vector<std::string>{"finished"});
        EXPECT_TRUE(recorder.progress.empty());
    }
    EXPECT_EQ(readFile(victim), "kept\n");
}

TEST_F(Batch, WeightIsSummedOnceAfterTheStepsWereAdded) {
    for (double weight : {0.0, 10000.0, 200000000.0, 10000000.0, 10000000.0}) {
        batch->addBashTask(step("s", {}, weight));
    }
    EXPECT_EQ(batch->totalProgress(), 0 + 10000 + 200000000 + 10000000 + 10000000);
    batch->addBashTask(step("late", {}, 5));
    EXPECT_EQ(batch->totalProgress(), 220010000);
}

TEST_P(BatchOnEachRoad, EachFailureHasItsAlertAndAction) {
    const std::string report = "Please, report issue to developers with attached log file '" +
                               (platform::paths::logsDirectory() / "installer.log").string() +
                               "' and attach screenshot of this dialog box.";
    struct Row {
        std::string shellText;
        std::optional<FakePkexec::Behaviour> pkexec;
        std::string title;  // a pattern
        std::string advice;
        std::int64_t action;
        std::string logged;  // the start of the one "errorDescription" line, if any
    };
    const std::vector<Row> rows{
        {"exit 27", {}, "User approval for game installation required",
         "A program tried to load new system extensions signed by \"Oracle America, Inc\". If you want to enable "
         "these extensions, go to System Preferences -> Security & Privacy pane -> General -> Allow, and then run "
         "game installer again.",
         21, ""},
        {"echo 'disk full' >&2; exit 5", {}, reportTitle, report, 21, "ERROR errorDescription = disk full"},
        {"exit 5", {}, reportTitle, "", 21, ""},
        {"true", FakePkexec::Behaviour::Dismiss, "The administrator privileges are required to install all components",
         "Please, relaunch the installer and enter your password", 36, ""},
        {"true", FakePkexec::Behaviour::Refuse, reportTitle, report, 21, "ERROR errorDescription = Not authorized"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.shellText);
        if (row.pkexec && GetParam() == Road::Root) {
            continue;  // what pkexec itself answers
        }
        testing_support::LogCapture log;
        start(row.pkexec ? Road::Pkexec : GetParam(), row.pkexec.value_or(FakePkexec::Behaviour::Authorise));
        failWith(row.shellText);
        if (HasFatalFailure()) {
            return;
        }
        EXPECT_TRUE(std::regex_match(title(), std::regex(row.title))) << title();
        EXPECT_EQ(advice(), row.advice);
        EXPECT_EQ(actions, std::vector<std::int64_t>{row.action});
        EXPECT_EQ(log.linesStartingWith(row.logged.empty() ? "ERROR errorDescription" : row.logged).size(),
                  row.logged.empty() ? 0u : 1u);
        EXPECT_TRUE(recorder.reportsOnMainThread);
    }
    EXPECT_TRUE(actionsOffMain);
}

INSTANTIATE_TEST_SUITE_P(, BatchOnEachRoad, testing::Values(Road::Pkexec, Road::Root), testing::PrintToStringParamName());

class RootTaskQuietEnd : public testing_support::OnEachRoad {};

TEST_P(RootTaskQuietEnd, Status33EndsTheInstallerWithAWarningAndNoReport) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            testing_support::TempHome home;
            writeFile(platform::paths::logsDirectory() / "progress_catcher.log", "");
            testing_support::LogCapture log;
            RecordingDelegate recorder;
            int actions = 0;
            auto batch = std::make_shared<RootTask>();
            batch->addBashTask(step("Quiet", {"-c", "exit 33"}, 0, "/bin/sh"));
            batch->setTaskDelegate(&recorder);
            batch->setActionSender([&](std::int64_t) { ++actions; });
            int terminations = 0;
            platform::Application::setWillTerminateHandler([&] { ++terminations; });
            batch->execute();
            // Bounded: an installer that would wait for ever ends with 99 instead.
            platform::dispatch::afterMain(10s, [] { platform::RunLoop::quit(99); });
            const int status = platform::RunLoop::run();
            std::fprintf(stderr, "events=%zu actions=%d warnings=%zu terminations=%d\n", recorder.events.size(),
                         actions, log.linesStartingWith("WARN ").size(), terminations);
            std::fflush(stderr);
            std::_Exit(status);
        },
        testing::ExitedWithCode(2), "events=0 actions=0 warnings=1 terminations=1");
}

INSTANTIATE_TEST_SUITE_P(, RootTaskQuietEnd, testing::Values(Road::Pkexec, Road::Root), testing::PrintToStringParamName());
