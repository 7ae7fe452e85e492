#include "BashTask.h"
#include "DataIterator.h"
#include "ScriptTask.h"
#include "platform/Dispatch.h"
#include "platform/FileHandle.h"
#include "platform/RunLoop.h"
#include "recorders.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

using namespace std::chrono_literals;

namespace {

// Runs a shell text as a step and waits for its end report.
std::shared_ptr<BashTask> runShell(const std::string& script, RecordingDelegate& recorder) {
    auto task = std::make_shared<BashTask>("/bin/sh", std::vector<std::string>{});
    task->setArguments({"-c", script});
    task->setTaskDelegate(&recorder);
    task->setBashDelegate(&recorder);
    task->execute();
    EXPECT_TRUE(platform::RunLoop::runUntil([&] { return recorder.events.size() >= 2; }, 10s));
    return task;
}

}  // namespace

TEST(BashTaskQuoting, KeepsQuotedTextAndOptionsAndQuotesTheRest) {
    const BashTask task("/bin/bash", {"-l", "\"a b\"", "x", "\"abc", "a\"b", "\""});
    const std::vector<std::string> expected{"-l", "\"a b\"", "\"x\"", "\"\"abc\"", "\"a\"b\"", "\""};
    EXPECT_EQ(task.arguments(), expected);
    EXPECT_EQ(task.path(), "/bin/bash");

    BashTask reset("/bin/bash", {"x"});
    reset.setArguments({"x y"});
    EXPECT_EQ(reset.arguments(), std::vector<std::string>{"x y"});
}

TEST(BashTaskOutput, LinesAreCutAtNulAndLineFeedAcrossReads) {
    RecordingDelegate recorder;
    runShell("printf 'a\\000b\\n'; sleep 0.2; printf 'x'; sleep 0.2; printf 'y\\n\\n\\n'; sleep 0.2; printf 'tail'",
             recorder);
    EXPECT_EQ(recorder.lines, (std::vector<std::string>{"a", "b", "xy", "", ""}));
}

TEST(BashTaskOutput, UnterminatedLastLineIsNeverDelivered) {
    RecordingDelegate recorder;
    runShell("printf 'one\\ntwo'", recorder);
    EXPECT_EQ(recorder.lines, std::vector<std::string>{"one"});
}

TEST(BashTaskOutput, LinesWrittenJustBeforeTheEndAreAllDelivered) {
    RecordingDelegate recorder;
    runShell("seq 1 2000", recorder);
    ASSERT_EQ(recorder.lines.size(), 2000u);
    EXPECT_EQ(recorder.lines.back(), "2000");
}

// The child's last line arrives only after its end has been handled: the observer is busy with
// the first line meanwhile, so the end is queued before the next data notification is armed.
TEST(BashTaskOutput, LastLineStillUnreadWhenTheEndIsHandledIsDelivered) {
    struct SlowRecorder : RecordingDelegate {
        void onDataReceived(const std::string& line) override {
            RecordingDelegate::onDataReceived(line);
            if (lines.size() == 1) {
                std::this_thread::sleep_for(800ms);  // the child writes its last line and ends meanwhile
            }
        }
    } recorder;
    runShell("echo first; sleep 0.2; echo last", recorder);
    EXPECT_EQ(recorder.lines, (std::vector<std::string>{"first", "last"}));
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"finished", "terminate"}));
}

TEST(BashTaskTermination, NonZeroStatusIsAnErrorThenTerminate) {
    RecordingDelegate recorder;
    runShell("exit 3", recorder);
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"error", "terminate"}));
    ASSERT_TRUE(recorder.error);
    EXPECT_EQ(recorder.error->domain(), "BashTask");
    EXPECT_EQ(recorder.error->code(), 3);
    EXPECT_FALSE(recorder.error->info().localizedDescription);
    EXPECT_FALSE(recorder.error->localizedFailureReason());
    EXPECT_TRUE(recorder.reportsOnMainThread);
}

TEST(BashTaskTermination, ZeroStatusFinishesThenTerminate) {
    RecordingDelegate recorder;
    runShell("echo done", recorder);
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"finished", "terminate"}));
    EXPECT_TRUE(recorder.reportsOnMainThread);
}

TEST(BashTaskTermination, InvalidateEndsTheChild) {
    auto task = std::make_shared<BashTask>("/bin/sh", std::vector<std::string>{});
    task->invalidate();  // nothing to stop yet
    RecordingDelegate recorder;
    task->setArguments({"-c", "sleep 30"});
    task->setTaskDelegate(&recorder);
    task->execute();
    task->invalidate();
    ASSERT_TRUE(platform::RunLoop::runUntil([&] { return !recorder.events.empty(); }, 10s));
    EXPECT_EQ(recorder.events.front(), "error");
    ASSERT_TRUE(recorder.error);
    EXPECT_EQ(recorder.error->code(), 15);  // SIGTERM
}

TEST(BashTaskLaunch, PathThatCannotRunIsReportedAtOnce) {
    RecordingDelegate recorder;
    auto task = std::make_shared<BashTask>("/nonexistent/tool", std::vector<std::string>{"x"});
    task->setTaskDelegate(&recorder);
    task->setBashDelegate(&recorder);
    task->execute();
    // Synchronous: the error is there before the run loop turns, and no terminate follows.
    ASSERT_EQ(recorder.events, std::vector<std::string>{"error"});
    EXPECT_EQ(recorder.error->domain(), "BashTask");
    EXPECT_EQ(recorder.error->code(), -1);
    EXPECT_EQ(recorder.error->localizedDescription(),
              "/nonexistent/tool \"x\"; Exception: NSInvalidArgumentException");
    EXPECT_EQ(recorder.error->localizedFailureReason(), "launch path not accessible");
    platform::RunLoop::runFor(200ms);
    EXPECT_EQ(recorder.events.size(), 1u);
}

TEST(BashTaskSynchronous, ReturnsAllOutputEvenBeyondAPipeFull) {
    const auto output = BashTask::executeWithPath("/bin/sh", {"-c", "head -c 1048576 /dev/zero; exit 4"});
    ASSERT_TRUE(output);
    EXPECT_EQ(output->size(), 1048576u);

    const auto silent = BashTask::executeWithPath("/bin/true", {});
    ASSERT_TRUE(silent);
    EXPECT_TRUE(silent->empty());

    EXPECT_EQ(BashTask::executeWithPath("/bin/pwd", {}, "/usr"), "/usr\n");
    EXPECT_FALSE(BashTask::executeWithPath("/nonexistent/tool", {}));
    EXPECT_FALSE(BashTask::executeWithPath("/bin/pwd", {}, "/nonexistent/folder"));
}

TEST(BashTaskSynchronous, DoesNotWaitForADescendantHoldingTheOutput) {
    const auto started = std::chrono::steady_clock::now();
    const auto output = BashTask::executeWithPath("/bin/sh", {"-c", "echo hi; (sleep 5) & exit 0"});
    EXPECT_EQ(output, "hi\n");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
}

TEST(FileHandleNotifications, ArmedOnAWorkerArriveOnTheMainThreadOncePerArming) {
    auto pipe = platform::Pipe::create();
    auto reading = pipe->fileHandleForReading();
    std::atomic<int> calls = 0;
    bool onMain = true;
    std::string seen;
    reading->addDataAvailableObserver([&](platform::FileHandle& handle) {
        onMain = onMain && platform::RunLoop::isMainThread();
        seen += handle.availableData();
        ++calls;
    });
    std::atomic<bool> armed = false;
    platform::dispatch::asyncGlobal([&] {
        reading->waitForDataInBackgroundAndNotify();
        armed = true;
    });
    ASSERT_TRUE(platform::RunLoop::runUntil([&] { return armed.load(); }, 5s));
    ASSERT_EQ(::write(pipe->fileHandleForWriting()->fileDescriptor(), "abc", 3), 3);
    ASSERT_TRUE(platform::RunLoop::runUntil([&] { return calls == 1; }, 5s));
    EXPECT_EQ(seen, "abc");
    ASSERT_EQ(::write(pipe->fileHandleForWriting()->fileDescriptor(), "d", 1), 1);
    platform::RunLoop::runFor(200ms);
    EXPECT_EQ(calls, 1);  // not armed again

    reading->waitForDataInBackgroundAndNotify();
    ASSERT_TRUE(platform::RunLoop::runUntil([&] { return calls == 2; }, 5s));
    pipe->fileHandleForWriting()->closeFile();
    reading->waitForDataInBackgroundAndNotify();
    ASSERT_TRUE(platform::RunLoop::runUntil([&] { return calls == 3; }, 5s));
    EXPECT_EQ(seen, "abcd");  // the end of output reads as empty data
    EXPECT_TRUE(onMain);
}

TEST(DataIteratorLines, SplitsAtTerminatorsWithoutATrailingEmptyLine) {
    std::vector<std::string> lines;
    DataIterator::enumerateDataByLinesUsingBlock(std::string("a\n\nb\0c\n", 7), [&](const auto& line) {
        lines.push_back(line.value_or("<nil>"));
    });
    EXPECT_EQ(lines, (std::vector<std::string>{"a", "", "b", "c"}));

    DataIterator empty("");
    EXPECT_TRUE(empty.isEnd());
    DataIterator one("x");
    EXPECT_EQ(one.nextLine(), "x");
    EXPECT_TRUE(one.isEnd());
    one.setToBegin();
    EXPECT_FALSE(one.isEnd());

    DataIterator mixed(" \t padded \r\n\xff\xfe\n");
    EXPECT_EQ(mixed.nextLineTrimmed(), "padded");
    EXPECT_EQ(mixed.nextLine(), std::nullopt);  // not UTF-8
}

TEST(DataIteratorLines, OnlyWellFormedUtf8IsText) {
    const std::vector<std::string> rejected{
        "\xed\xa0\x80",      // a surrogate
        "\xc0\xaf",          // overlong "/"
        "\xe0\x80\xaf",      // overlong "/"
        "\xf0\x80\x80\xaf",  // overlong "/"
        "\xf4\x90\x80\x80",  // beyond U+10FFFF
        "\xf5\x80\x80\x80",
        "ok\xe2\x82",        // cut off
    };
    for (const auto& bytes : rejected) {
        EXPECT_EQ(DataIterator(bytes).nextLine(), std::nullopt) << testing::PrintToString(bytes);
    }
    const std::string accepted = "\x7f\xc2\x80\xe2\x82\xac\xed\x9f\xbf\xee\x80\x80\xf0\x90\x80\x80\xf4\x8f\xbf\xbf";
    EXPECT_EQ(DataIterator(accepted).nextLine(), accepted);
}

TEST(ScriptTaskParsing, ReadsTheLeadingInteger) {
    EXPECT_EQ(ScriptTask::parseFileSizeFromString("  \n 1234  a.txt"), 1234);
    EXPECT_EQ(ScriptTask::parseFileSizeFromString("-5"), -5);
    EXPECT_EQ(ScriptTask::parseFileSizeFromString("Name"), std::nullopt);
    EXPECT_EQ(ScriptTask::parseFileSizeFromString(""), std::nullopt);
}

TEST(ScriptTaskRun, ObservesItsOwnOutputAndReportsItsEnd) {
    RecordingDelegate recorder;
    auto task = std::make_shared<ScriptTask>("/bin/sh", std::vector<std::string>{});
    task->setArguments({"-c", "echo line"});
    task->setName("Create Semaphore");
    task->setTaskDelegate(&recorder);
    task->execute();
    EXPECT_EQ(task->bashDelegate(), task.get());
    ASSERT_TRUE(platform::RunLoop::runUntil([&] { return !recorder.events.empty(); }, 10s));
    EXPECT_EQ(recorder.events, std::vector<std::string>{"finished"});
    EXPECT_EQ(task->status(), "Executing script...");
    EXPECT_FALSE(task->knownRemainingTime());
}

TEST(ScriptTaskRun, LogsEachLineAndNoTextForBytesThatAreNotUtf8) {
    testing_support::LogCapture log;
    RecordingDelegate recorder;
    auto task = std::make_shared<ScriptTask>("/bin/sh", std::vector<std::string>{});
    task->setArguments({"-c", "printf 'gr\\303\\274n\\n\\355\\240\\200\\n'"});
    task->setName("Create Semaphore");
    task->setTaskDelegate(&recorder);
    task->execute();
    ASSERT_TRUE(platform::RunLoop::runUntil([&] { return !recorder.events.empty(); }, 10s));
    const auto messages = log.messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(), "Create Semaphore: gr\xc3\xbcn"), messages.end());
    EXPECT_NE(std::find(messages.begin(), messages.end(), "Create Semaphore: (null)"), messages.end());
}
