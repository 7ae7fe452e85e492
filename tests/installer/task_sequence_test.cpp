#include "Logger/Logger.h"
#include "ScriptTask.h"
#include "TaskSequence.h"
#include "platform/Dispatch.h"
#include "platform/Paths.h"
#include "platform/RunLoop.h"
#include "support/log_capture.h"
#include "support/temp_home.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using platform::RunLoop;

namespace {

// A step that finishes when told to, or at once from inside execute.
class FakeTask : public Task {
public:
    FakeTask(std::string taskName, double taskWeight) : name(std::move(taskName)), weight(taskWeight) {}

    void execute() override {
        ++executions;
        executedOnMainThread = RunLoop::isMainThread();
        if (finishInsideExecute) {
            taskDelegate()->executionFinishedOfTask(this);
        }
    }
    void invalidate() override { ++invalidations; }
    double totalProgress() override { return weight; }
    std::string status() override { return name + " status"; }
    bool knownRemainingTime() override { return false; }

    // Reports completion from the main thread, as every real step does.
    void finishOnMain() {
        platform::dispatch::asyncMain([this] { taskDelegate()->executionFinishedOfTask(this); });
    }

    std::string name;
    double weight;
    bool finishInsideExecute = false;
    std::atomic<int> executions{0};
    std::atomic<bool> executedOnMainThread{false};
    int invalidations = 0;
};

// Writes down every report in a readable form.
class RecordingObserver : public TaskDelegate {
public:
    void taskDidStartWithStatus(Task* task, const std::string& status) override {
        add("start " + nameOf(task) + " [" + status + "]");
    }
    double taskDidUpdateProgress(Task* task, double progress) override {
        add("progress " + nameOf(task) + " " + std::to_string(static_cast<long long>(progress)));
        return progress;
    }
    void taskDidUpdateProgressLabelWithValue(Task* task, const std::string& label, const std::string& value) override {
        add("label " + nameOf(task) + " [" + label + "] [" + value + "]");
    }
    void taskFinishedWithError(Task* task, const platform::Error& error) override {
        add("error " + nameOf(task) + " " + error.domain());
    }
    void executionFinishedOfTask(Task* task) override { add("finished " + nameOf(task)); }

    std::vector<std::string> events() {
        std::lock_guard lock(mutex);
        return recorded;
    }
    bool reportsOnMainThreadOnly() {
        std::lock_guard lock(mutex);
        return onMainThreadOnly;
    }

    Task* sequence = nullptr;

private:
    std::string nameOf(Task* task) {
        if (task == nullptr) return "nil";
        if (task == sequence) return "sequence";
        if (auto* script = dynamic_cast<BashTask*>(task)) return script->name();
        return static_cast<FakeTask*>(task)->name;
    }
    void add(std::string event) {
        std::lock_guard lock(mutex);
        onMainThreadOnly = onMainThreadOnly && RunLoop::isMainThread();
        recorded.push_back(std::move(event));
    }
    std::mutex mutex;
    std::vector<std::string> recorded;
    bool onMainThreadOnly = true;
};

struct SequenceFixture : testing::Test {
    std::shared_ptr<TaskSequence> sequence = std::make_shared<TaskSequence>();
    RecordingObserver observer;

    SequenceFixture() {
        observer.sequence = sequence.get();
        sequence->setTaskDelegate(&observer);
    }
    std::shared_ptr<FakeTask> add(const std::string& name, double weight, bool background = false, bool waits = false) {
        auto task = std::make_shared<FakeTask>(name, weight);
        task->setBackgroundProcess(background);
        task->setWaitForBackgroundProcess(waits);
        sequence->addTask(task);
        return task;
    }
    void runMainQueue() { RunLoop::runFor(20ms); }
};

using Events = std::vector<std::string>;

}  // namespace

TEST_F(SequenceFixture, StepFinishingInsideExecuteGetsItsSuccessorAnnouncedTwiceAndItselfNever) {
    auto lock = add("lock", 0);
    lock->finishInsideExecute = true;
    auto sizes = add("sizes", 0);
    sequence->execute();
    EXPECT_EQ(observer.events(), (Events{"start sizes [sizes status]", "start sizes [sizes status]"}));
    EXPECT_EQ(sizes->executions, 1);
}

TEST_F(SequenceFixture, BackgroundStepAndNextForegroundStepStartTogetherAndOnlyTheForegroundOneIsAnnounced) {
    auto batch = add("batch", 100, true);
    auto download = add("download", 10);
    sequence->execute();
    EXPECT_EQ(batch->executions, 1);
    EXPECT_EQ(download->executions, 1);
    EXPECT_EQ(observer.events(), (Events{"start download [download status]"}));
}

TEST_F(SequenceFixture, BackgroundStepReachedMidSequenceStartsWithItsSuccessorWhichAloneIsAnnounced) {
    auto lock = add("lock", 0);
    auto batch = add("batch", 100, true);
    auto download = add("download", 10);
    sequence->execute();
    lock->finishOnMain();
    ASSERT_TRUE(RunLoop::runUntil([&] { return download->executions == 1; }, 5s));
    EXPECT_EQ(batch->executions, 1);
    EXPECT_EQ(observer.events(), (Events{"start lock [lock status]", "start download [download status]"}));
    EXPECT_EQ(sequence->status(), "download status");
}

TEST_F(SequenceFixture, WaitingStepShowsTheBackgroundStatusAndStartsOnTheMainThreadAfterTheBackgroundStepEnds) {
    auto batch = add("batch", 100, true);
    auto download = add("download", 10);
    // It fails inside its own execute (the program cannot run): that report too is the main thread's.
    testing_support::LogCapture log;
    auto install = std::make_shared<ScriptTask>("/nonexistent/tool", std::vector<std::string>{});
    install->setName("install");
    install->setWaitForBackgroundProcess(true);
    sequence->addTask(install);
    sequence->execute();
    download->finishOnMain();
    runMainQueue();

    const Events waiting{"start download [download status]", "start install [Executing script...]",
                         "start install [batch status]", "label batch [Installing Game] []"};
    RunLoop::runFor(50ms);
    EXPECT_EQ(observer.events(), waiting) << "started before the background step ended";

    batch->finishOnMain();
    ASSERT_TRUE(RunLoop::runUntil([&] { return observer.events().size() > waiting.size(); }, 5s));
    runMainQueue();
    Events expected = waiting;  // the background step's end is never announced
    expected.push_back("error install BashTask");
    EXPECT_EQ(observer.events(), expected);
    EXPECT_TRUE(observer.reportsOnMainThreadOnly());
}

TEST_F(SequenceFixture, WaitingStepReachedAfterTheBackgroundStepEndedStartsAtOnceOnTheCallingThread) {
    auto batch = add("batch", 100, true);
    auto download = add("download", 10);
    auto install = add("install", 100, false, true);
    sequence->execute();
    batch->finishOnMain();
    runMainQueue();
    download->finishOnMain();
    runMainQueue();
    EXPECT_EQ(install->executions, 1);
    EXPECT_TRUE(install->executedOnMainThread);
    EXPECT_EQ(observer.events(), (Events{"start download [download status]", "start install [install status]"}));
}

TEST_F(SequenceFixture, ProgressOfAnyStepFillsTheSlotOfTheCurrentForegroundStep) {
    auto first = add("first", 10);
    auto batch = add("batch", 1000, true);
    auto second = add("second", 20);
    auto third = add("third", 300, false, true);
    (void)add("fourth", 4000);
    EXPECT_EQ(sequence->totalProgress(), 4330);

    // Before execute no step is current: the sum of all foreground weights, the amount not added.
    EXPECT_EQ(sequence->taskDidUpdateProgress(first.get(), 5), 4330);

    sequence->execute();
    first->finishOnMain();
    runMainQueue();
    second->finishOnMain();
    runMainQueue();
    // "third" waits for the batch; the batch's reports fill its slot.
    EXPECT_EQ(sequence->taskDidUpdateProgress(batch.get(), 7), 10 + 20 + 7);
    EXPECT_EQ(observer.events().back(), "progress sequence 37");
}

TEST_F(SequenceFixture, WeightCountsForegroundStepsOnlyAndIsRecalculatedOnRequest) {
    auto background = add("background", 5, true);
    auto one = add("one", 1);
    (void)add("two", 2);
    EXPECT_EQ(sequence->totalProgress(), 3);
    one->weight = 10;
    EXPECT_EQ(sequence->totalProgress(), 3);
    sequence->recalculateTotalProgress();
    EXPECT_EQ(sequence->totalProgress(), 12);
}

TEST_F(SequenceFixture, LastStepCompletesTheSequenceWhichReportsItself) {
    auto first = add("first", 1);
    auto last = add("last", 1);
    sequence->execute();
    first->finishOnMain();
    runMainQueue();
    EXPECT_FALSE(sequence->isFinished());
    EXPECT_EQ(sequence->status(), "last status");
    last->finishOnMain();
    runMainQueue();
    EXPECT_TRUE(sequence->isFinished());
    EXPECT_EQ(sequence->status(), "");
    EXPECT_EQ(observer.events().back(), "finished sequence");
}

TEST_F(SequenceFixture, LastForegroundStepCompletesWhileTheBackgroundStepRunsAndABackgroundLastStepCompletesOnItsEnd) {
    auto batch = add("batch", 1, true);
    auto last = add("last", 1);
    sequence->execute();
    last->finishOnMain();
    runMainQueue();
    EXPECT_TRUE(sequence->isFinished());

    auto other = std::make_shared<TaskSequence>();
    RecordingObserver otherObserver;
    otherObserver.sequence = other.get();
    other->setTaskDelegate(&otherObserver);
    auto front = std::make_shared<FakeTask>("front", 1);
    auto tail = std::make_shared<FakeTask>("tail", 1);
    tail->setBackgroundProcess(true);
    other->addTask(front);
    other->addTask(tail);
    other->execute();
    front->finishOnMain();
    runMainQueue();
    EXPECT_EQ(tail->executions, 1);
    EXPECT_FALSE(other->isFinished());
    tail->finishOnMain();
    runMainQueue();
    EXPECT_TRUE(other->isFinished());
    EXPECT_EQ(otherObserver.events().back(), "finished sequence");
}

TEST_F(SequenceFixture, FailureIsPassedOnWithTheFailedStepAndNothingAdvances) {
    auto first = add("first", 1);
    auto second = add("second", 1);
    sequence->execute();
    sequence->taskFinishedWithError(first.get(), platform::Error("BashTask", 3));
    runMainQueue();
    EXPECT_EQ(observer.events().back(), "error first BashTask");
    EXPECT_EQ(second->executions, 0);
    EXPECT_EQ(sequence->status(), "first status");
    sequence->invalidate();
    EXPECT_EQ(first->invalidations, 1);
}

TEST_F(SequenceFixture, EmptySequenceAnnouncesAnAbsentStepAndNeverCompletes) {
    sequence->execute();
    EXPECT_EQ(observer.events(), (Events{"start nil []"}));
    EXPECT_FALSE(sequence->isFinished());
}

namespace {

// Makes a file undeletable, even for the superuser; false where the file system cannot.
bool setImmutable(const std::filesystem::path& file, bool immutable) {
    const int fd = ::open(file.c_str(), O_RDONLY);
    if (fd < 0) {
        return false;
    }
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return done;
}

}  // namespace

TEST(TaskSequenceMarker, TerminateRootTaskDeletesTheMarkerFileOrFolder) {
    testing_support::TempHome home;
    testing_support::LogCapture log;
    const auto marker = platform::paths::applicationSupportDirectory() / "installer.wait";
    testing_support::writeFile(marker, "");
    TaskSequence sequence;
    sequence.terminateRootTask();
    EXPECT_FALSE(std::filesystem::exists(marker));
    sequence.terminateRootTask();  // absent: nothing to do
    EXPECT_EQ(log.messages(), std::vector<std::string>{"Removed file " + marker.string() + "."});

    testing_support::writeFile(marker / "left" / "over", "x");
    sequence.terminateRootTask();
    EXPECT_FALSE(std::filesystem::exists(marker));
    EXPECT_EQ(log.messages().size(), 2u);
    EXPECT_EQ(log.messages().back(), "Removed file " + marker.string() + ".");
}

TEST(TaskSequenceMarker, MarkerThatCannotGoIsLoggedWithThePlatformError) {
    testing_support::TempHome home;
    const auto marker = platform::paths::applicationSupportDirectory() / "installer.wait";
    const auto stuck = marker / "stuck";
    testing_support::writeFile(stuck, "x");
    if (!setImmutable(stuck, true)) {
        GTEST_SKIP() << "this file system keeps no immutable files";
    }
    testing_support::LogCapture log;
    TaskSequence().terminateRootTask();
    setImmutable(stuck, false);
    EXPECT_TRUE(std::filesystem::exists(stuck));
    EXPECT_EQ(log.messages(), std::vector<std::string>{"Cannot remove file " + marker.string() +
                                                       ". Error Error Domain=NSPOSIXErrorDomain Code=1 "
                                                       "\"Operation not permitted\" UserInfo={NSLocalizedDescription=Operation not permitted}"});
}
