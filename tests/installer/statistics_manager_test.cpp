#include "StatisticsManager.h"
#include "core/statistics/client.h"
#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <log4cplus/initializer.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <regex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

// Keeps a copy of every record handed over, and notes any call that began while another was
// still inside the client.
class RecordingClient : public Statistics::Client {
public:
    void sendAction(const AppStatistics& record) override { note(record); }
    void sendSystemInfo(const AppStatistics& record) override { note(record); }

    std::vector<AppStatistics> records;  // read once the calls have returned
    std::atomic<bool> overlapped{false};

private:
    void note(const AppStatistics& record) {
        overlapped = overlapped || ++_inside != 1;
        std::this_thread::yield();
        {
            std::lock_guard lock(_mutex);
            records.push_back(record);
        }
        --_inside;
    }

    std::mutex _mutex;
    std::atomic<int> _inside{0};
};

using Probes = StatisticsManager::Probes;

// The probes whose answers the record takes as they are, and the field each fills.
const std::vector<std::pair<Probes::Text Probes::*, std::string AppStatistics::*>> plainProbes = {
    {&Probes::macAddress, &AppStatistics::localMacAddress}, {&Probes::ipAddress, &AppStatistics::localIpAddress},
    {&Probes::appVersion, &AppStatistics::version}, {&Probes::cpuUsage, &AppStatistics::cpuUsage},
    {&Probes::osArchitectureName, &AppStatistics::osArchitecture}, {&Probes::ramFree, &AppStatistics::ramFree},
    {&Probes::hddFreeSpace, &AppStatistics::hddFreeSpace}, {&Probes::dotNetVersions, &AppStatistics::dotNetVersions},
    {&Probes::gpuModelName, &AppStatistics::gpu}, {&Probes::haxmInfo, &AppStatistics::haxm},
    {&Probes::openGLVersion, &AppStatistics::openGLVersion}, {&Probes::openGLVendor, &AppStatistics::openGLVendor},
    {&Probes::openGLRenderer, &AppStatistics::openGLRenderer},
    {&Probes::openGLExtensions, &AppStatistics::openGLExtensions},
};

// Probe answers of a made-up machine, a distinct one for each probe; the runs of each are counted
// (by the facade's worker, read once the calls have ended).
struct FakeMachine {
    std::map<std::string, int> runs;  // by answer

    StatisticsManager::Probes probes() {
        auto fixed = [this](const std::string& text) { return [this, text] { return ++runs[text], text; }; };
        StatisticsManager::Probes p;
        p.hardwareId = fixed("HWID-1");
        p.platformName = fixed("Mac");
        p.virtualizationInfo = fixed("VT-x: enabled");
        p.cpu = fixed("Intel(R) Xeon(R) CPU @ 2.20GHz\n");
        p.osName = fixed("Debian GNU/Linux 12 ");
        p.ramTotal = fixed("17179869184");
        for (std::size_t index = 0; index < plainProbes.size(); ++index) {
            p.*plainProbes[index].first = fixed("answer " + std::to_string(index));
        }
        p.bandwidth = [](std::uint64_t perSecond) { return std::to_string(perSecond / 1024) + " kb/s\r\n"; };
        return p;
    }
};

}  // namespace

TEST(StatisticsManager, ActionCodesMapAtTheTableEdges) {
    const std::vector<std::pair<std::int64_t, std::int32_t>> table = {
        {1, 1}, {6, 6}, {7, 0}, {20, 0}, {21, 21}, {24, 24}, {25, 0}, {30, 0},
        {31, 31}, {32, 0}, {36, 36}, {37, 0}, {-3, 0}, {4294967297LL, 0},
    };
    for (const auto& [code, status] : table) {
        EXPECT_EQ(StatisticsManager::converStatisticsAction2AppStatistics(code), status) << code;
    }
}

TEST(StatisticsManager, RecordCarriesFieldsAcrossActionsAndSystemInformation) {
    testing_support::LogCapture log;
    FakeMachine machine;
    auto client = std::make_shared<RecordingClient>();
    StatisticsManager manager(client, machine.probes());
    manager.sendAction(0);
    // The referrer of the moment of the call, and the caller's logging context, go with it.
    manager.setReferrerUrl("http://ref.example/landing\n");
    log4cplus::getMDC().put("process", "Installer");
    manager.sendAction(22);
    log4cplus::getMDC().clear();
    manager.setReferrerUrl("http://later.example/");
    manager.sendSystemInfo(3000000000ULL);
    manager.sendAction(25);
    manager.sendSystemInfo(0);
    manager.flushBeforeExit();

    // Code 0 ran no probe. What cannot change while the installer runs is probed once; load, free
    // memory and free disk space for each description of the machine.
    EXPECT_EQ(machine.runs.size(), 6 + plainProbes.size());
    for (std::size_t index = 0; index < plainProbes.size(); ++index) {
        const auto probe = plainProbes[index].first;
        const bool changes = probe == &Probes::cpuUsage || probe == &Probes::ramFree || probe == &Probes::hddFreeSpace;
        EXPECT_EQ(machine.runs["answer " + std::to_string(index)], changes ? 2 : 1) << index;
    }
    for (const auto& [answer, runs] : machine.runs) {
        EXPECT_TRUE(answer.starts_with("answer ") || runs == 1) << answer;
    }
    const auto& records = client->records;
    ASSERT_EQ(records.size(), 4u);
    const AppStatistics& action = records[0];
    EXPECT_EQ(action.installationId, manager.installId());
    EXPECT_EQ(action.hardwareId + "|" + action.localOsName + "|" + action.bundleSourceUrl, "HWID-1|Mac|http://ref.example/landing");
    EXPECT_EQ(action.emulatorType + "/" + action.eventSource, "vbox/Dovarirovev");
    EXPECT_EQ(action.eventStatus, 22);
    EXPECT_TRUE(action.cpuVirtualization);

    // System information keeps the action's status and referrer and adds the machine, each
    // field from its own probe; line ends go at both ends, the trailing space stays.
    const AppStatistics& info = records[1];
    EXPECT_EQ(info.eventStatus, 22);
    EXPECT_EQ(info.bundleSourceUrl, "http://ref.example/landing");
    EXPECT_EQ(info.hardwareId + "|" + info.cpu + "|" + info.localOsName + "|" + info.ram + "|" + info.bandwidth,
              "HWID-1|Intel(R) Xeon(R) CPU @ 2.20GHz|Debian GNU/Linux 12 |17179869184|2929687 kb/s");
    for (std::size_t index = 0; index < plainProbes.size(); ++index) {
        EXPECT_EQ(info.*plainProbes[index].second, "answer " + std::to_string(index)) << index;
    }

    // A later action keeps the machine fields, with the operating system back to "Mac"; an
    // unknown code sends 0 and logs the raw code, a 64-bit bandwidth the 32 bits C prints.
    const AppStatistics& later = records[2];
    EXPECT_EQ(later.eventStatus, 0);
    EXPECT_EQ(later.localOsName + "|" + later.cpu + "|" + later.ram, "Mac|Intel(R) Xeon(R) CPU @ 2.20GHz|17179869184");
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"INFO Action statistics with event status 22 has been sent.",
                                                     "INFO SysInfo statistics with bandwidth -1294967296 has been sent.",
                                                     "INFO Action statistics with event status 25 has been sent.",
                                                     "INFO SysInfo statistics with bandwidth 0 has been sent."}));
    EXPECT_EQ(log.contexts()[0].at("process"), "Installer");
    EXPECT_TRUE(log.contexts()[1].empty());
}

TEST(StatisticsManager, InstallationIdsAndLineEnds) {
    const StatisticsManager first(nullptr, {});
    const StatisticsManager second(nullptr, {});
    EXPECT_TRUE(std::regex_match(first.installId(), std::regex("[0-9A-F]{32}"))) << first.installId();
    EXPECT_NE(first.installId(), second.installId());

    const std::string lineEnds = "\n\v\f\r\xC2\x85\xE2\x80\xA8\xE2\x80\xA9";
    EXPECT_EQ(StatisticsManager::converToCppString(lineEnds + " a\r\nb\xC2\x85 " + lineEnds), " a\r\nb\xC2\x85 ");
    EXPECT_EQ(StatisticsManager::converToCppString(lineEnds), "");
}

TEST(StatisticsManager, CallsFromTwoThreadsNeverInterleave) {
    // The three load probes of one call answer with that call's number, so a record filled by
    // two calls at once shows a mix.
    std::atomic<int> calls{0};
    StatisticsManager::Probes probes;
    probes.cpuUsage = [&] { return std::to_string(++calls); };
    probes.ramFree = probes.hddFreeSpace = [&] { return std::to_string(calls.load()); };
    probes.virtualizationInfo = [] { return std::string("VT-x: NOT enabled"); };
    probes.bandwidth = [](std::uint64_t code) { return std::to_string(code); };
    auto client = std::make_shared<RecordingClient>();
    StatisticsManager manager(client, probes);

    constexpr int perThread = 300;
    auto caller = [&](std::uint64_t code) {
        for (int i = 0; i < perThread; ++i) {
            manager.sendSystemInfo(code);
        }
    };
    std::thread first(caller, 21);
    std::thread second(caller, 31);
    first.join();
    second.join();
    manager.flushBeforeExit();

    EXPECT_FALSE(client->overlapped);
    const auto& records = client->records;
    ASSERT_EQ(records.size(), 2u * perThread);
    for (const AppStatistics& r : records) {
        ASSERT_TRUE(r.cpuUsage == r.ramFree && r.cpuUsage == r.hddFreeSpace) << r.cpuUsage;
        ASSERT_FALSE(r.cpuVirtualization);
    }
    EXPECT_EQ(std::count_if(records.begin(), records.end(), [](const AppStatistics& r) { return r.bandwidth == "21"; }),
              perThread);
}

// The facade reports nothing to its callers: a failed call leaves one line in the log, and the
// next call still runs.
TEST(StatisticsManager, AFailedCallIsLoggedAndTheNextOneStillRuns) {
    testing_support::LogCapture log;
    StatisticsManager::Probes probes;
    probes.cpuUsage = [calls = 0]() mutable -> std::string {
        if (++calls == 1) {
            throw std::runtime_error("no descriptors left");
        }
        return "1%";
    };
    auto client = std::make_shared<RecordingClient>();
    StatisticsManager manager(client, probes);
    manager.sendSystemInfo(0);
    manager.sendSystemInfo(0);
    manager.flushBeforeExit();
    EXPECT_EQ(client->records.size(), 1u);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"ERROR A statistics call failed and was dropped: no descriptors left",
                                                     "INFO SysInfo statistics with bandwidth 0 has been sent."}));
}

// As at start-up, the logging library is set up after the facade was made, and it goes at exit
// before the process's other static objects: a call still under way when the process exits
// sends and logs nothing once the library has gone.
TEST(StatisticsManager, ACallUnderWayAtExitSendsNothingOnceTheLoggingLibraryHasGone) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            struct CountingClient : Statistics::Client {
                void sendSystemInfo(const AppStatistics&) override { ++sent; }
                std::atomic<int> sent{0};
            };
            static std::atomic<bool> loggingGone{false};
            static auto* client = new CountingClient;
            StatisticsManager::Probes probes;
            probes.cpuUsage = [] {
                for (int waited = 0; waited < 200 && !loggingGone; ++waited) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
                return std::string("1%");
            };
            // Lives through the exit, as the installer's own does.
            auto* manager = new StatisticsManager(std::shared_ptr<Statistics::Client>(client, [](auto*) {}), probes);
            std::atexit([] {
                loggingGone = true;
                for (int waited = 0; waited < 60 && client->sent == 0; ++waited) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
                std::fprintf(stderr, "sent once the logging library had gone: %d\n", client->sent.load());
            });
            static log4cplus::Initializer logging;
            manager->sendSystemInfo(0);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "sent once the logging library had gone: 0");
}
