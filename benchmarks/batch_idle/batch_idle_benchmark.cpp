// CPU time the installer's process spends while the administrator batch and the companion are
// running but quiet: the progress file and the companion's pipe are followed, nothing is written.
// Then, for contrast, a companion that writes 80 MB without a line end: CPU time and peak memory.
// Usage: batch_idle_benchmark [seconds per case, default 20]
#include "LaunchTask.h"
#include "RootTask.h"
#include "TaskDelegate.h"
#include "platform/FileHandle.h"
#include "platform/Paths.h"
#include "platform/RunLoop.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct CountingDelegate : TaskDelegate {
    int progressReports = 0;
    int endReports = 0;
    void taskDidStartWithStatus(Task*, const std::string&) override {}
    double taskDidUpdateProgress(Task*, double amount) override {
        ++progressReports;
        return amount;
    }
    void taskDidUpdateProgressLabelWithValue(Task*, const std::string&, const std::string&) override {}
    void taskFinishedWithError(Task*, const platform::Error&) override { ++endReports; }
    void executionFinishedOfTask(Task*) override { ++endReports; }
};

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void measure(const char* name, int seconds, Task& task, const CountingDelegate& delegate) {
    const double cpuBefore = cpuSeconds();
    const auto notificationsBefore = platform::FileHandle::deliveredNotificationCount();
    const auto started = std::chrono::steady_clock::now();
    task.execute();
    platform::RunLoop::runFor(std::chrono::seconds(seconds));
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double cpu = cpuSeconds() - cpuBefore;
    std::printf("%-16s wall %6.2f s  cpu %7.4f s (%6.3f %% of a core)  notifications %llu  progress reports %d\n",
                name, wall, cpu, 100.0 * cpu / wall,
                static_cast<unsigned long long>(platform::FileHandle::deliveredNotificationCount() - notificationsBefore),
                delegate.progressReports);
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
    char pattern[] = "/tmp/batch-idle-XXXXXX";
    const fs::path home = mkdtemp(pattern);
    setenv("HOME", home.c_str(), 1);
    platform::RunLoop::initialize(argc, argv);

    fs::create_directories(platform::paths::logsDirectory());
    std::ofstream(platform::paths::logsDirectory() / "progress_catcher.log");
    const std::string sleep = "sleep " + std::to_string(seconds + 1);

    CountingDelegate batchDelegate;
    auto batch = std::make_shared<RootTask>();
    auto step = std::make_shared<BashTask>("/bin/sh", std::vector<std::string>{"-c", sleep});
    step->setName("Quiet");
    batch->addBashTask(step);
    batch->setTaskDelegate(&batchDelegate);
    batch->setActionSender([](std::int64_t) {});
    measure("quiet batch", seconds, *batch, batchDelegate);

    const fs::path resources = home / "Applications/Ravelune/Game.app/Contents/Resources";
    fs::create_directories(resources);
    std::ofstream(resources / "game.json") << R"({"ApkPackageName": "com.example.game"})";
    const fs::path companion = home / "companion";
    std::ofstream(companion) << "#!/bin/sh\nexec " << sleep << "\n";
    ::chmod(companion.c_str(), 0755);
    LaunchTask::setCompanionLocation(companion.string(), home.string());
    CountingDelegate launchDelegate;
    auto launch = std::make_shared<LaunchTask>("Game");
    launch->setEstimated(800000000);
    launch->setTaskDelegate(&launchDelegate);
    launch->setActionSender([](std::int64_t) {});
    measure("quiet companion", seconds, *launch, launchDelegate);

    platform::RunLoop::runUntil([&] { return batchDelegate.endReports + launchDelegate.endReports == 2; },
                                std::chrono::seconds(5));

    std::ofstream(companion) << "#!/bin/sh\nhead -c 83886080 /dev/zero | tr '\\0' x\n";
    CountingDelegate floodDelegate;
    auto flood = std::make_shared<LaunchTask>("Game");
    flood->setEstimated(800000000);
    flood->setTaskDelegate(&floodDelegate);
    flood->setActionSender([](std::int64_t) {});
    const double cpuBefore = cpuSeconds();
    const auto started = std::chrono::steady_clock::now();
    flood->execute();
    platform::RunLoop::runUntil([&] { return floodDelegate.endReports == 1; }, std::chrono::seconds(120));
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%-16s wall %6.2f s  cpu %7.4f s  peak resident %ld MB\n", "80 MB, one line",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
                cpuSeconds() - cpuBefore, usage.ru_maxrss / 1024);
    std::error_code ignored;
    fs::remove_all(home, ignored);
    return 0;
}
