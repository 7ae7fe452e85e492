#include "CriticalAlert.h"
#include "Formatters.h"
#include "MainViewController.h"
#include "lock_test_support.h"
#include "platform/Application.h"
#include "platform/Bundle.h"
#include "platform/Paths.h"
#include "platform/RunLoop.h"
#include "support/log_capture.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QMessageBox>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using platform::RunLoop;
using testing_support::readFile;
using testing_support::writeFile;
namespace fs = std::filesystem;

namespace {

// A step of the given weight whose remaining time is known or not.
struct Step : Task {
    Step(double stepWeight, bool isKnown) : weight(stepWeight), known(isKnown) {}
    void execute() override {}
    void invalidate() override {}
    double totalProgress() override { return weight; }
    std::string status() override { return "step"; }
    bool knownRemainingTime() override { return known; }
    double weight;
    bool known;
};

// An installation whose reports the test makes itself.
class ScriptedMainTask : public MainTask {
public:
    void execute() override { ++executions; }
    void setTotal(double total) { _totalProgress = total; }
    void setPublisher(std::string publisher) { _publisher = std::move(publisher); }
    void addDownloader(std::int64_t installCompletedStatus) {
        auto entry = std::make_shared<DownloadableEntry>("component");
        entry->installCompletedStatus = installCompletedStatus;
        _downloaders.push_back(std::make_shared<Downloader>(entry));
    }
    int executions = 0;
};

platform::Error failure(const char* domain, std::string title, std::optional<std::string> advice = {},
                        std::optional<std::string> reason = {}) {
    platform::Error::Info info;
    info.localizedDescription = std::move(title);
    info.localizedRecoverySuggestion = std::move(advice);
    info.localizedFailureReason = std::move(reason);
    return platform::Error(domain, -1, info);
}

// A fresh home for the window's files, and the log lines it writes.
class WindowTest : public testing::Test {
protected:
    static void SetUpTestSuite() { platform::Bundle::setMainBundlePath(RESOURCES_DIR); }

    // A controller whose installation has been started.
    std::shared_ptr<MainViewController> makeController() {
        const int before = task->executions;
        auto controller = MainViewController::create(options());
        EXPECT_TRUE(RunLoop::runUntil([&] { return task->executions > before; }, 2s));
        return controller;
    }
    MainViewController::Options options() {
        MainViewController::Options options;
        options.mainTask = task;
        options.terminate = [this](int status) {
            terminations.push_back(status);
            terminatedOnMainThread = RunLoop::isMainThread();
        };
        options.sendAction = [this](std::int64_t code) { actions.push_back(code); };
        options.lockFilePath = lockPath().string();
        return options;
    }

    fs::path lockPath() const { return home.path() / "ravl.lock"; }
    static std::string text(QLabel* label) { return label->text().toStdString(); }
    // The bar ("busy", or its value) and the areas shown beside it.
    static std::string shown(const MainViewController::Outlets& o) {
        std::string areas = o.progressBar->maximum() == 0 ? "busy" : std::to_string(o.progressBar->value());
        for (const auto& [view, name] : {std::pair<QWidget*, const char*>{o.percentsLabel, " percent"},
                                         {o.speedBox, " speed"},
                                         {o.remainingTimeBox, " time"}}) {
            areas += view->isHidden() ? "" : name;
        }
        return areas;
    }

    std::shared_ptr<ScriptedMainTask> task = std::make_shared<ScriptedMainTask>();
    std::vector<int> terminations;
    std::atomic<bool> terminatedOnMainThread{false};
    std::vector<std::int64_t> actions;
    testing_support::TempHome home;
    testing_support::LogCapture log;
};

TEST_F(WindowTest, OutletsCarryTheirNamesAndShowOutsideTextsAsPlainText) {
    auto controller = makeController();
    const auto& o = controller->outlets();
    for (const char* name : {"imageView1", "imageView2", "statusLabel", "taskLabel", "percentsLabel", "volumeLabel",
                             "publisherLabel", "publisherName", "speedBox", "speedLabel", "remainingTimeBox",
                             "remainingTimeLabel", "progressBar"}) {
        auto* widget = controller->view()->findChild<QWidget*>(name);
        ASSERT_NE(widget, nullptr) << name;
        EXPECT_EQ(widget->accessibleName().toStdString(), name);
        if (auto* label = qobject_cast<QLabel*>(widget); label && !std::string(name).starts_with("imageView")) {
            EXPECT_EQ(label->textFormat(), Qt::PlainText) << name;
        }
    }
    EXPECT_EQ(task->executions, 1);
    EXPECT_EQ(task->taskDelegate(), controller.get());
    EXPECT_EQ(task->delegate(), controller.get());
    EXPECT_EQ(text(o.publisherLabel) + "|" + text(o.publisherName), "Publisher:|");

    task->setPublisher("<b>Zorvik</b> Games");
    auto step = std::make_shared<Step>(0, false);
    controller->taskDidStartWithStatus(step.get(), "Checking if other installing is allowed...");
    controller->taskDidUpdateProgressLabelWithValue(step.get(), "Installing Game", "");
    EXPECT_EQ(text(o.statusLabel), "Checking if other installing is allowed...");
    EXPECT_EQ(text(o.publisherName), "<b>Zorvik</b> Games");
    EXPECT_EQ(text(o.taskLabel) + "|" + text(o.volumeLabel), "Installing Game|");
    // A publisher far wider than the window is shown cut to its label, which ends where the status
    // line ends, with an ellipsis.
    task->setPublisher(std::string(1000000, 'W'));
    controller->taskDidStartWithStatus(step.get(), "Installing...");
    const QString publisher = o.publisherName->text();
    EXPECT_TRUE(publisher.startsWith("WWWW") && publisher.endsWith(QChar(0x2026))) << publisher.size();
    EXPECT_LE(o.publisherName->fontMetrics().horizontalAdvance(publisher), o.publisherName->contentsRect().width());
    EXPECT_EQ(o.publisherName->geometry().right(), o.statusLabel->geometry().right());

    // Closing the window ends the application through its one ending, with the "ended otherwise" status.
    controller->view()->close();
    EXPECT_EQ(terminations, std::vector<int>{2});
}

// The ending may wait seconds (the last statistics): the window is gone before it does, not
// left on screen without answering.
TEST_F(WindowTest, ClosedTheWindowIsGoneBeforeTheEndingWaits) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            MainViewController::Options ending = options();
            ending.terminate = nullptr;  // the application's own ending
            auto controller = MainViewController::create(ending);
            bool shown = true;
            platform::Application::setWillTerminateHandler([&] { shown = controller->view()->isVisible(); });
            controller->view()->close();
            const int status = RunLoop::run();
            std::fprintf(stderr, "shown at the ending: %d\n", shown);
            std::fflush(stderr);
            std::_Exit(status);
        },
        testing::ExitedWithCode(2), "shown at the ending: 0");
}

// Notes whether the installation had started at the first paint of a window.
struct FirstPaint : QObject {
    const ScriptedMainTask* task = nullptr;
    std::optional<bool> startedBeforePaint;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && watched->isWidgetType() && !startedBeforePaint) {
            startedBeforePaint = task->executions > 0;
        }
        return false;
    }
};

TEST_F(WindowTest, TheFirstPaintShowsInitializingBeforeTheInstallationStarts) {
    FirstPaint paint;
    paint.task = task.get();
    qApp->installEventFilter(&paint);
    auto controller = MainViewController::create(options());
    ASSERT_TRUE(RunLoop::runUntil([&] { return task->executions > 0 && paint.startedBeforePaint; }, 2s));
    qApp->removeEventFilter(&paint);
    EXPECT_FALSE(*paint.startedBeforePaint);
    const auto& o = controller->outlets();
    EXPECT_EQ(text(o.statusLabel) + "|" + shown(o), "Initializing...|busy") << "until the first step starts";
    // An alert before any step is titled like the window it belongs to.
    EXPECT_EQ(CriticalAlert::makeAlert(failure("LaunchTask", "Title"), controller->view())->windowTitle().toStdString(),
              "Ravelune Installer");
}

TEST_F(WindowTest, VisibilityFollowsTheCurrentStepAndProgressIsAClampedFraction) {
    auto controller = makeController();
    const auto& o = controller->outlets();
    task->setTotal(1000);
    controller->taskDidStartWithStatus(std::make_shared<Step>(500, false).get(), "Installing");
    controller->taskDidUpdateProgress(task.get(), 250);
    EXPECT_EQ(shown(o), "250 percent");
    controller->taskDidStartWithStatus(std::make_shared<Step>(0, true).get(), "Checking");
    EXPECT_EQ(shown(o), "busy");
    controller->taskDidUpdateProgress(task.get(), 400);
    controller->taskDidStartWithStatus(std::make_shared<Step>(500, true).get(), "Downloading");
    EXPECT_EQ(shown(o), "400 percent speed time") << "the value survives the switch back to a determinate bar";
    EXPECT_EQ(text(o.percentsLabel), "40%");

    task->setTotal(3073.4);
    EXPECT_EQ(controller->taskDidUpdateProgress(task.get(), 1536.7), 1536.0);
    EXPECT_EQ(o.progressBar->value(), 500);
    for (const auto& [amount, expected] : std::vector<std::pair<double, double>>{
             {5000, 1.0}, {-10, 0.0}, {std::nan(""), 0.0}, {INFINITY, 0.0}}) {
        controller->taskDidUpdateProgress(task.get(), amount);
        EXPECT_EQ(controller->progress(), expected) << amount;
    }
    task->setTotal(0);
    controller->taskDidUpdateProgress(task.get(), 10);
    EXPECT_EQ(text(o.percentsLabel), "0%") << "a zero total shows nothing rather than infinity";
}

TEST_F(WindowTest, TheFirstFailureWinsAndReportsFromWorkersReachTheMainThread) {
    auto controller = makeController();
    const auto& o = controller->outlets();
    task->setTotal(100);
    task->addDownloader(5);
    auto step = std::make_shared<Step>(100, false);
    controller->taskDidStartWithStatus(step.get(), "Checking if KEXT installation is possible");
    std::thread worker([&] {
        controller->taskFinishedWithError(step.get(), failure("RootTask", "First failure title", "First failure advice"));
        controller->taskFinishedWithError(step.get(), failure("BashTask", "Second failure title"));
        controller->executionFinishedOfTask(task.get());
    });
    worker.join();
    ASSERT_TRUE(RunLoop::runUntil([&] { return !terminations.empty(); }, 2s));
    controller->taskDidUpdateProgress(task.get(), 50);
    controller->taskDidStartWithStatus(step.get(), "Later step");
    controller->executionFinishedOfTask(task.get());
    RunLoop::runFor(2200ms);

    EXPECT_EQ(terminations, std::vector<int>{1});
    EXPECT_TRUE(terminatedOnMainThread);
    EXPECT_TRUE(actions.empty()) << "no install-completed codes under a failure";
    EXPECT_EQ(text(o.statusLabel), "Checking if KEXT installation is possible");
    EXPECT_EQ(text(o.taskLabel), "");
    EXPECT_EQ(controller->progress(), 0.0);
    EXPECT_EQ(log.linesStartingWith("ERROR Critical alert: "),
              std::vector<std::string>{"ERROR Critical alert: First failure title Advice: First failure advice"});
}

TEST_F(WindowTest, SuccessSendsEveryInstallCodeAndQuitsTwoSecondsLaterIgnoringALateError) {
    auto controller = makeController();
    const auto& o = controller->outlets();
    task->addDownloader(5);
    task->addDownloader(0);
    const auto finished = std::chrono::steady_clock::now();
    controller->executionFinishedOfTask(task.get());
    EXPECT_EQ(text(o.taskLabel) + "|" + text(o.statusLabel), "Installation successfully finished|Finished");
    EXPECT_EQ(actions, (std::vector<std::int64_t>{5, 0}));

    controller->taskFinishedWithError(task.get(), failure("Launch App", "Late failure"));
    ASSERT_TRUE(RunLoop::runUntil([&] { return !terminations.empty(); }, 3s));
    EXPECT_GE(std::chrono::steady_clock::now() - finished, 1900ms);
    EXPECT_EQ(terminations, std::vector<int>{0});
    EXPECT_TRUE(log.linesStartingWith("ERROR Critical alert: ").empty());
}

TEST_F(WindowTest, AlertShowsTheDescriptionAndTheRecoverySuggestionAndIsNeverBlank) {
    const std::vector<std::pair<platform::Error, std::string>> cases = {
        {failure("RootTask", "Title", "Advice"), "Title|Advice"},
        {failure("LaunchTask", "Ravelune Installer (1234) is installing", {}, "Other process is in progress"),
         "Ravelune Installer (1234) is installing|"},
        {failure("LaunchTask", "  ", {}, "Cannot unlock the lock file:"), "Cannot unlock the lock file:|"},
        {platform::Error("BashTask", 27), "The operation couldn\u2019t be completed. (BashTask error 27.)|"},
        // A server's text: cut to 1000 characters, never inside one.
        {failure("Downloader", "Cannot download", "Sent as " + std::string(200000, 'x')),
         "Cannot download|Sent as " + std::string(992, 'x') + "\u2026"},
        {failure("LaunchTask", "\u00E9" + std::string(1000, 'x')), "\u00E9" + std::string(999, 'x') + "\u2026|"},
    };
    for (const auto& [error, expected] : cases) {
        const auto texts = CriticalAlert::textsForError(error);
        EXPECT_EQ(texts.message + "|" + texts.informativeText, expected);
    }
}

TEST_F(WindowTest, TheProgressFileIsEmptiedUnlessAnotherLiveRunHoldsTheLock) {
    const fs::path catcher = platform::paths::logsDirectory() / "progress_catcher.log";
    writeFile(catcher, "1 050");
    makeController();
    EXPECT_EQ(readFile(catcher), "");

    lock_testing::Child holder({"sleep", "30"});
    writeFile(lockPath(), lock_testing::record(holder.pid(), "sleep", "Ravelune installation"));
    writeFile(catcher, "1 050");
    makeController();
    EXPECT_EQ(readFile(catcher), "1 050");
}

TEST_F(WindowTest, AnUnknownTotalShowsNoRemainingTimeUntilOneIsKnown) {
    auto controller = makeController();
    // The remaining time after one tick of the meter, past its 0.1-second guard, at 1000 bytes a second.
    const auto tick = [&](std::int64_t total) {
        controller->mainTaskDidFetchDownloadingSize(task.get(), total);
        controller->setBytesPerSecond(1000);
        RunLoop::runFor(150ms);
        controller->taskDidUpdateProgress(task.get(), 5000);
        controller->remainingTimeMeter()->updateTimer();
        return text(controller->outlets().remainingTimeLabel);
    };
    EXPECT_EQ(tick(-1), "...");
    EXPECT_EQ(tick(105000), "00:45") << "100 s left: the first estimate, not one dragged by the unknown total";
}

TEST_F(WindowTest, ScreenshotDuringADownloadShowsTheMetersFigures) {
    auto controller = makeController();
    task->setPublisher("Zorvik Games");
    task->setTotal(48000000);
    auto download = std::make_shared<Step>(47000000, true);
    controller->mainTaskDidFetchDownloadingSize(task.get(), 47000000);
    controller->taskDidStartWithStatus(download.get(), "Downloading Ravelune Engine...");
    // A download at 2.4 MB/s for two speed ticks, so the meters show real figures.
    std::int64_t received = 10000000;
    while (controller->bytesPerSecond() == 0 && received < 20000000) {
        received += 240000;
        controller->taskDidUpdateProgress(task.get(), static_cast<double>(received));
        controller->taskDidUpdateProgressLabelWithValue(
            download.get(), "Downloading", Formatters::stringFromBytes(received) + " of " + Formatters::stringFromBytes(47000000));
        RunLoop::runFor(100ms);
    }
    RunLoop::runFor(600ms);
    const auto& o = controller->outlets();
    EXPECT_TRUE(text(o.speedLabel).ends_with(" MB/s")) << text(o.speedLabel);
    EXPECT_NE(text(o.remainingTimeLabel), "...") << "the meter runs once the size is known";

    const QImage shot = controller->view()->grab().toImage();
    fs::create_directories(ARTEFACT_DIR);
    ASSERT_TRUE(shot.save(QString::fromStdString((fs::path(ARTEFACT_DIR) / "window_during_download.png").string()), "PNG"));
    EXPECT_EQ(shot.size(), QSize(640, 505));
    // The slide show's first picture fills the top of the window.
    EXPECT_NE(shot.pixelColor(320, 40), shot.pixelColor(320, 470));
}

}  // namespace
