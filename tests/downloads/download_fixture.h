#pragma once

#include "Downloader.h"
#include "TaskDelegate.h"
#include "support/log_capture.h"
#include "platform/Bundle.h"
#include "platform/RunLoop.h"
#include "support/http_test_server.h"
#include "support/temp_home.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

// Writes down what a step reports.
struct StepObserver : TaskDelegate {
    std::vector<std::string> events;
    std::vector<std::string> values;
    std::vector<double> progress;
    std::optional<platform::Error> error;
    double before = 0;  // the weight of the steps before this one

    bool reported() const { return !events.empty() && (events.back() == "finished" || events.back() == "error"); }
    void taskDidStartWithStatus(Task*, const std::string&) override {}
    double taskDidUpdateProgress(Task*, double amount) override {
        progress.push_back(amount);
        return before + amount;
    }
    void taskDidUpdateProgressLabelWithValue(Task*, const std::string& label, const std::string& value) override {
        events.push_back(label);
        values.push_back(value);
    }
    void taskFinishedWithError(Task*, const platform::Error& e) override {
        error = e;
        events.push_back("error");
    }
    void executionFinishedOfTask(Task*) override { events.push_back("finished"); }
};

inline std::uint64_t checksum(const std::string& bytes) {
    std::uint64_t hash = 1469598103934665603ull;
    for (const unsigned char c : bytes) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    return hash;
}

inline std::string generated(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t index = 0; index < size; ++index) {
        bytes[index] = testing_support::HttpTestServer::generatedByte(index);
    }
    return bytes;
}

// A bundle with an identifier, $TMPDIR in a scratch folder, a loopback server and the log lines.
class DownloadTest : public testing::Test {
protected:
    void SetUp() override {
        testing_support::writeFile(dir.path() / "Test.app" / "Contents" / "Info.plist",
                                   "<plist><dict><key>CFBundleIdentifier</key><string>com.example.test</string>"
                                   "</dict></plist>");
        platform::Bundle::setMainBundlePath(dir.path() / "Test.app");
        std::filesystem::create_directories(tmp());
        setenv("TMPDIR", tmp().c_str(), 1);
    }
    void TearDown() override {
        platform::Bundle::setMainBundlePath({});
        unsetenv("TMPDIR");
    }
    std::filesystem::path tmp() const { return dir.path() / "tmp"; }

    // The component `name` from `path` of the server, into the temporary folder unless told.
    std::shared_ptr<Downloader> downloader(const std::string& name, const std::string& path,
                                           std::optional<std::filesystem::path> destination = std::nullopt) {
        auto entry = std::make_shared<DownloadableEntry>(name, server.url(path), destination.value_or(tmp() / name));
        entry->downloadStartStatus = 4;
        entry->downloadFinishStatus = 5;
        auto made = std::make_shared<Downloader>(entry);
        Downloader::Settings settings;
        settings.retryPauses = {std::chrono::milliseconds(20), std::chrono::milliseconds(40),
                                std::chrono::milliseconds(80), std::chrono::milliseconds(160)};
        settings.stallLimit = std::chrono::seconds(1);
        settings.minimumRate = 64 << 10;
        settings.rateWindow = std::chrono::seconds(1);
        settings.sendAction = [this](std::int64_t code) { codes.push_back(code); };
        settings.sendSystemInfo = [this](std::uint64_t bandwidth) { bandwidths.push_back(bandwidth); };
        made->setSettings(settings);
        made->setTaskDelegate(&observer);
        return made;
    }
    // The sessions' private folder, made as a session makes it.
    std::filesystem::path downloading() const {
        const std::filesystem::path folder = tmp() / ".downloading";
        std::filesystem::create_directory(folder);
        std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
        return folder;
    }
    // Runs the step until it reports; false when it did not within the bound.
    bool run(Downloader& step, std::chrono::milliseconds bound = std::chrono::seconds(20)) {
        step.execute();
        return platform::RunLoop::runUntil([this] { return observer.reported(); }, bound);
    }

    testing_support::TempDir dir;
    testing_support::HttpTestServer server;
    StepObserver observer;
    std::vector<std::int64_t> codes;
    std::vector<std::uint64_t> bandwidths;
    testing_support::LogCapture logLines;
};
