#include "LaunchTask.h"
#include "RootTask.h"
#include "platform/Application.h"
#include "platform/Dispatch.h"
#include "platform/Paths.h"
#include "platform/RunLoop.h"
#include "platform/Thread.h"
#include "support/fake_pkexec.h"
#include "support/log_capture.h"
#include "support/temp_home.h"
#include "childproc/recorders.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <sys/stat.h>
#include <sys/wait.h>

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::writeFile;

namespace {

// Writes the reports down; like the window, it can show an error in a modal alert, whose event
// loop runs meanwhile.
struct Window : RecordingDelegate {
    std::chrono::milliseconds alert{0};
    void taskFinishedWithError(Task* task, const platform::Error& e) override {
        RecordingDelegate::taskFinishedWithError(task, e);
        platform::RunLoop::runFor(alert);
    }
};

// A scratch home with an installed game "Game" and a stand-in companion written by each test.
class Companion : public testing::Test {
protected:
    void SetUp() override {
        writeFile(platform::paths::applicationSupportDirectory() / "hwid.dat", "HWID0001");
        installGame("Game", R"({"ApkPackageName": "com.example.game"})");
        fs::create_directories(workingFolder);
    }
    void TearDown() override { LaunchTask::setCompanionLocation("", ""); }

    fs::path installGame(const std::string& appName, const std::string& description) {
        const fs::path app = home.path() / "Applications" / "Ravelune" / (appName + ".app");
        writeFile(app / "Contents" / "Resources" / "game.json", description);
        return app / "Contents" / "Resources" / "game.json";
    }
    // The companion: a shell script that notes its arguments and folder, then runs `body`.
    void companion(const std::string& body) {
        const fs::path program = home.path() / "companion";
        writeFile(program, "#!/bin/sh\nprintf '%s|%s|%s' \"$1\" \"$2\" \"$(pwd)\" > '" + started.string() + "'\n" + body);
        ::chmod(program.c_str(), 0755);
        LaunchTask::setCompanionLocation(program.string(), workingFolder.string());
    }
    std::shared_ptr<LaunchTask> launch(const std::string& appName = "Game", std::size_t reports = 1) {
        auto task = std::make_shared<LaunchTask>(appName);
        task->setEstimated(800000000);
        task->setTaskDelegate(&recorder);
        task->setActionSender([this](std::int64_t code) { actions.push_back(code); });
        task->execute();
        EXPECT_TRUE(platform::RunLoop::runUntil([&] { return recorder.events.size() >= reports; }, 10s));
        return task;
    }

    testing_support::TempHome home;
    fs::path workingFolder = home.path() / "Library" / "Ravelune";
    fs::path started = home.path() / "started";
    Window recorder;
    std::vector<std::int64_t> actions;
};

}  // namespace

TEST_F(Companion, ProgressAndErrorLinesThenTheExitWithNoLineLost) {
    testing_support::LogCapture log;
    companion("printf 'ZorerurovidoProgress:25\\nZorerurovidoProgress: 50%%\\n'; sleep 0.2\n"
              "echo 'x ZorerurovidoProgress:1 ZorerurovidoError: progress only'; sleep 0.2\n"
              // written in pieces, never quiet for half a second: one line
              "printf 'Zoreru'; sleep 0.3; printf 'rovido'; sleep 0.3; printf 'Progress:75\\n'\n"
              "printf 'ZorerurovidoErr'; sleep 0.3; printf 'or: no space left'\n");  // cut, then ended unfinished
    launch("Game", 2);
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"error", "finished"}));
    // A prefix anywhere counts, but the value is read from the 22nd character on ("s:1 ..." is 0);
    // progress wins over an error on the same line.
    EXPECT_EQ(recorder.progress, (std::vector<double>{200000000, 400000000, 0, 600000000}));
    ASSERT_TRUE(recorder.error);
    EXPECT_EQ(recorder.error->domain(), "Launch App");
    EXPECT_EQ(recorder.error->code(), -1);
    EXPECT_TRUE(std::regex_match(recorder.error->localizedDescription(),
                                 std::regex("Launch application failed\\.\nHWID0001\nTime:\\d\\d\\.\\d\\d\\.\\d\\d "
                                            "\\d\\d:\\d\\d:\\d\\d")));
    EXPECT_EQ(recorder.error->localizedRecoverySuggestion(),
              "Please, report issue to developers with attached logs from '" +
                  platform::paths::logsDirectory().string() + "' and attach screenshot of this dialog box.");
    EXPECT_EQ(recorder.error->underlyingError(), "Launch application error");
    EXPECT_TRUE(log.containsLine("ERROR errorDescription = no space left"));
    EXPECT_TRUE(recorder.reportsOnMainThread);

    const fs::path description = home.path() / "Applications/Ravelune/Game.app/Contents/Resources/game.json";
    EXPECT_EQ(readFile(started), description.string() + "|hideform|" + workingFolder.string());
    EXPECT_EQ(readFile(platform::paths::applicationSupportDirectory() / "com.example.game.json"),
              readFile(description));
    EXPECT_EQ(actions, std::vector<std::int64_t>{31});
    EXPECT_TRUE(log.containsLine("INFO Application Game launched"));
}

TEST_F(Companion, LinesReadWhileAnErrorAlertIsShownAreHandledOnce) {
    recorder.alert = 600ms;
    companion("echo 'ZorerurovidoError: first'; sleep 0.2; echo 'ZorerurovidoProgress:10'; sleep 0.6\n");
    launch("Game", 2);
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"error", "finished"}));
    EXPECT_EQ(recorder.progress, std::vector<double>{80000000});
}

TEST_F(Companion, LongOutputWithoutLineEndsIsCutAndAnUnfinishedLineCountsOnceQuiet) {
    // 64 KiB without a line end make a line of their own, wherever the reads end; a line without a
    // line end counts once the companion has written nothing for a while, though it runs on, and
    // so does the next one.
    const fs::path bulk = home.path() / "bulk";
    writeFile(bulk, std::string(65536 - 3, 'x') + "ZorerurovidoProgress:25");
    companion("printf abc; sleep 0.2; cat '" + bulk.string() +
              "'; sleep 1; printf '\\nZorerurovidoProgress:50'; exec sleep 30\n");
    auto task = launch("Game", 0);
    EXPECT_TRUE(platform::RunLoop::runUntil([&] { return recorder.progress.size() >= 2; }, 5s));
    EXPECT_EQ(recorder.progress, (std::vector<double>{200000000, 400000000}));
    EXPECT_TRUE(recorder.events.empty());
    task->task()->terminate();
    EXPECT_TRUE(platform::RunLoop::runUntil([&] { return !recorder.events.empty(); }, 5s));
}

TEST_F(Companion, ANonZeroExitIsTheStepsErrorAndAnExistingCopyStays) {
    writeFile(platform::paths::applicationSupportDirectory() / "com.example.game.json", "kept");
    companion("exit 2\n");
    launch();
    ASSERT_EQ(recorder.events, std::vector<std::string>{"error"});
    EXPECT_EQ(recorder.error->domain(), "LaunchTask");
    EXPECT_EQ(recorder.error->code(), 2);
    EXPECT_FALSE(recorder.error->info().localizedDescription);
    EXPECT_EQ(readFile(platform::paths::applicationSupportDirectory() / "com.example.game.json"), "kept");
}

TEST_F(Companion, AGameFolderNameIsNeverRunAsCode) {
    const std::string name = "x$(touch pwned5)`touch pwned6`\"; touch pwned7; \"";
    const fs::path description = installGame(name, R"({"ApkPackageName": "p"})");
    companion("exit 0\n");
    launch(name);
    EXPECT_EQ(recorder.events, std::vector<std::string>{"finished"});
    EXPECT_EQ(readFile(started), description.string() + "|hideform|" + workingFolder.string());
    for (const fs::path& place : {workingFolder, home.path(), fs::path("/tmp"), fs::current_path()}) {
        for (const char* file : {"pwned5", "pwned6", "pwned7"}) {
            EXPECT_FALSE(fs::exists(place / file)) << (place / file);
        }
    }
}

TEST_F(Companion, PreparationRefusalsEndTheStepBeforeTheLaunch) {
    companion("exit 0\n");
    const std::vector<std::pair<std::string, std::string>> cases{
        {"Missing", ""},  // no application at all
        {"NoDescription", ""},
        {"Broken", "{not json"},
        {"NoName", R"({"Other": "x"})"},
        {"EmptyName", R"({"ApkPackageName": ""})"},
        {"Slash", R"({"ApkPackageName": "../../escape"})"},
        {"Dots", R"({"ApkPackageName": ".."})"},
        {"Dot", R"({"ApkPackageName": "."})"},
    };
    fs::create_directories(home.path() / "Applications/Ravelune/NoDescription.app/Contents/Resources");
    for (const auto& [appName, description] : cases) {
        if (!description.empty()) {
            installGame(appName, description);
        }
        testing_support::LogCapture log;
        recorder = Window();
        launch(appName);
        ASSERT_EQ(recorder.events, std::vector<std::string>{"error"}) << appName;
        EXPECT_EQ(recorder.error->domain(), "LaunchTask");
        EXPECT_EQ(recorder.error->code(), -1);
        EXPECT_EQ(recorder.error->localizedDescription(), appName + "; Exception: NSInvalidArgumentException");
        EXPECT_TRUE(recorder.error->localizedFailureReason());
        EXPECT_EQ(log.linesStartingWith("FATAL Cannot Launch Application '" + appName + "': ").size(), 1u) << appName;
    }
    EXPECT_FALSE(fs::exists(started));
    EXPECT_TRUE(actions.empty());
    EXPECT_FALSE(fs::exists(home.path() / "escape.json"));
}

namespace {

const std::string noReaper = "launch failed: no thread to wait for the child: .*";
const std::string noWorker = "thread start: .*";
const std::string batchTitle = "RootTask: Installation of base component failed\\.\nHWID0001\n[\\s\\S]*";

struct ThreadLimitRow {
    std::string step;
    int startsAllowed;  // 1: the global queue's worker starts, the child's reaper does not
    std::string error;  // domain and description, a pattern
    std::string logged;
};
void PrintTo(const ThreadLimitRow& row, std::ostream* out) {
    *out << row.step << row.startsAllowed;
}

// Each row in a process of its own (as ctest runs it): the global queue has no idle worker yet.
class ThreadLimit : public Companion, public testing::WithParamInterface<ThreadLimitRow> {};

}  // namespace

// At the system's limit of threads, a step whose worker or whose child's reaper cannot be started
// ends with its failure report, and leaves no child behind, running or unreaped.
TEST_P(ThreadLimit, EachStepEndsWithItsFailureAndLeavesNoChild) {
    const ThreadLimitRow& row = GetParam();
    std::optional<testing_support::FakePkexec> pkexec;
    ASSERT_FALSE(testing_support::takeRoad(pkexec, testing_support::Road::Pkexec));
    companion("exit 0\n");
    const auto bash = std::make_shared<BashTask>("/bin/sh", std::vector<std::string>{"-c", "exit 0"});
    std::shared_ptr<Task> step = bash;
    if (row.step == "RootTask") {
        auto batch = std::make_shared<RootTask>();
        batch->addBashTask(bash);
        batch->setActionSender([](std::int64_t) {});
        step = batch;
    } else if (row.step == "LaunchTask") {
        auto launch = std::make_shared<LaunchTask>("Game");
        launch->setActionSender([](std::int64_t) {});
        step = launch;
    }
    step->setTaskDelegate(&recorder);
    testing_support::LogCapture log;
    platform::setThreadStartsAllowedForTesting(row.startsAllowed);
    step->execute();
    const bool reported = platform::RunLoop::runUntil([&] { return !recorder.events.empty(); }, 10s);
    platform::setThreadStartsAllowedForTesting(std::nullopt);
    ASSERT_TRUE(reported);
    ASSERT_EQ(recorder.events, std::vector<std::string>{"error"});
    EXPECT_EQ(recorder.error->code(), -1);
    const std::string error = recorder.error->domain() + ": " + recorder.error->localizedDescription();
    EXPECT_TRUE(std::regex_match(error, std::regex(row.error))) << error;
    EXPECT_EQ(std::ranges::count_if(log.lines(), [&](const std::string& line) { return std::regex_match(line, std::regex(row.logged)); }),
              1);
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "a child is left";
}

INSTANTIATE_TEST_SUITE_P(
    , ThreadLimit,
    testing::Values(
        ThreadLimitRow{"BashTask", 0, "BashTask: /bin/sh -c \"exit 0\"; Exception: NSInvalidArgumentException",
                       "FATAL Cannot run BashTask '/bin/sh -c \"exit 0\"': " + noReaper},
        ThreadLimitRow{"RootTask", 1, batchTitle, "ERROR errorDescription = Cannot run the shell: " + noReaper},
        ThreadLimitRow{"RootTask", 0, batchTitle, "ERROR errorDescription = Cannot start the batch: " + noWorker},
        ThreadLimitRow{"LaunchTask", 1, "LaunchTask: Game; Exception: NSInvalidArgumentException",
                       "FATAL Cannot Launch Application 'Game': " + noReaper},
        ThreadLimitRow{"LaunchTask", 0, "LaunchTask: Game; Exception: std::system_error",
                       "FATAL Cannot Launch Application 'Game': " + noWorker}),
    testing::PrintToStringParamName());

TEST(LaunchTaskQuitLine, EndsTheInstallerAndNothingAfterItIsReported) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            testing_support::TempHome home;
            writeFile(home.path() / "Applications/Ravelune/Game.app/Contents/Resources/game.json",
                      R"({"ApkPackageName": "p"})");
            const fs::path program = home.path() / "companion";
            writeFile(program,
                      "#!/bin/sh\nprintf 'ZorerurovidoProgress:10\\nZozivurorido quit.\\nZorerurovidoError: x\\n'\n"
                      "sleep 0.3; echo 'ZorerurovidoError: later'; exit 3\n");
            ::chmod(program.c_str(), 0755);
            LaunchTask::setCompanionLocation(program.string(), home.path().string());
            RecordingDelegate recorder;
            auto task = std::make_shared<LaunchTask>("Game");
            task->setEstimated(100);
            task->setTaskDelegate(&recorder);
            task->setActionSender([](std::int64_t) {});
            int terminations = 0;
            platform::Application::setWillTerminateHandler([&] { ++terminations; });
            task->execute();
            // Bounded: an installer that would wait for ever ends with 99 instead.
            platform::dispatch::afterMain(10s, [] { platform::RunLoop::quit(99); });
            const int status = platform::RunLoop::run();
            // Whatever the companion still writes, and its exit, must not reach the window.
            platform::RunLoop::runFor(600ms);
            std::fprintf(stderr, "progress=%zu events=%zu terminations=%d\n", recorder.progress.size(),
                         recorder.events.size(), terminations);
            std::fflush(stderr);
            std::_Exit(status);
        },
        testing::ExitedWithCode(2), "progress=1 events=0 terminations=1");
}
