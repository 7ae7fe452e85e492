#include "DownloadableEntry.h"
#include "platform/Bundle.h"
#include "support/log_capture.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

// A bundle of the test's own with the given configuration, and $TMPDIR in a scratch folder.
class ComponentEntries : public testing::Test {
protected:
    void SetUp() override {
        resources = dir.path() / "Test.app" / "Contents" / "Resources";
        fs::create_directories(resources / "Configs");
        fs::create_directories(resources / "Checkers");
        fs::create_directories(dir.path() / "tmp");
        testing_support::writeFile(dir.path() / "Test.app" / "Contents" / "Info.plist", "<plist><dict></dict></plist>");
        platform::Bundle::setMainBundlePath(dir.path() / "Test.app");
        setenv("TMPDIR", (dir.path() / "tmp").c_str(), 1);
    }
    void TearDown() override {
        platform::Bundle::setMainBundlePath({});
        unsetenv("TMPDIR");
    }
    void writeConfig(const std::string& downloads) {
        testing_support::writeFile(resources / "Configs" / "Configs.json", "{\"downloads\": " + downloads + "}");
    }
    DownloadableEntry withChecker(const std::string& output) {
        testing_support::writeFile(resources / "Checkers" / "check.sh", "printf '" + output + "'\n");
        DownloadableEntry entry("Engine");
        entry.setCheckerPath("../Checkers/check.sh");
        return entry;
    }

    testing_support::TempDir dir;
    fs::path resources;
};

}  // namespace

TEST_F(ComponentEntries, ReadsEveryFieldAndDeletesLeftoversAtTheDestinations) {
    writeConfig(R"([
        {"name": "Engine", "url": "http://127.0.0.1/e.zip", "destination": "engine.zip",
         "checker": "../Checkers/check.sh", "installer": "../Installers/install.sh",
         "downloadStartStatus": 4, "downloadFinishStatus": "5", "installCompletedStatus": 6},
        {"name": "Disk", "url": 7, "destination": ["x"], "downloadStartStatus": 1e300,
         "downloadFinishStatus": "99999999999999999999", "installCompletedStatus": 7.9}
    ])");
    const fs::path leftover = dir.path() / "tmp" / "engine.zip";
    testing_support::writeFile(leftover, "partial download");

    const auto entries = DownloadableEntry::entriesFromFile("Configs/Configs.json");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_FALSE(fs::exists(leftover));
    const auto& engine = *entries[0];
    EXPECT_EQ(engine.name, "Engine");
    EXPECT_EQ(engine.sourceUrl, "http://127.0.0.1/e.zip");
    EXPECT_EQ(engine.destinationUrl, leftover);
    EXPECT_EQ(engine.checkerPath(), "../Checkers/check.sh");
    EXPECT_EQ(engine.installerPath(), (resources / "Configs" / "../Installers/install.sh").string());
    EXPECT_EQ(engine.downloadStartStatus, 4);
    EXPECT_EQ(engine.downloadFinishStatus, 5);
    EXPECT_EQ(engine.installCompletedStatus, 6);
    // A value of another type, or with no 64-bit integer, reads as absent.
    const auto& disk = *entries[1];
    EXPECT_FALSE(disk.sourceUrl);
    EXPECT_FALSE(disk.destinationUrl);
    EXPECT_FALSE(disk.installerPath());
    EXPECT_EQ(disk.downloadStartStatus, 0);
    EXPECT_EQ(disk.downloadFinishStatus, 0);
    EXPECT_EQ(disk.installCompletedStatus, 7);
}

TEST_F(ComponentEntries, MissingOrBrokenConfigurationGivesNoComponents) {
    EXPECT_TRUE(DownloadableEntry::entriesFromFile("Configs/Configs.json").empty());
    testing_support::writeFile(resources / "Configs" / "Configs.json", "{ not json");
    EXPECT_TRUE(DownloadableEntry::entriesFromFile("Configs/Configs.json").empty());
}

// Appended as text: ".." stays, and an absolute argument stays inside the configuration folder.
TEST_F(ComponentEntries, AbsolutePathAppendsTheArgumentAsText) {
    EXPECT_EQ(DownloadableEntry::absolutePathForLocalPath("../Scripts/prepare_app.sh"),
              (resources / "Configs" / "../Scripts/prepare_app.sh").string());
    EXPECT_EQ(DownloadableEntry::absolutePathForLocalPath("/Scripts/prepare_app.sh"),
              (resources / "Configs").string() + "/Scripts/prepare_app.sh");
}

TEST_F(ComponentEntries, CheckerAnswerIsReadWithoutLetterCase) {
    testing_support::LogCapture log;
    EXPECT_TRUE(withChecker("VERSION IS UP TO DATE\\n").checkExistance());
    EXPECT_TRUE(withChecker("Version is up to date, 1.0").checkExistance());
    EXPECT_FALSE(withChecker(" version is up to date").checkExistance());
    EXPECT_FALSE(withChecker("\\nversion is up to date").checkExistance());
    EXPECT_FALSE(withChecker("").checkExistance());
    EXPECT_FALSE(DownloadableEntry("No checker").checkExistance());
    // What a support person reads for each answer.
    EXPECT_TRUE(log.contains("'Engine' version is up to date. No need to install it!"));
    EXPECT_TRUE(log.contains("'No checker' not installed!!!"));
}

TEST_F(ComponentEntries, ADestinationMustBeOnePlainFileNameAndNoFolderIsEverRemoved) {
    const fs::path outside = dir.path() / "outside";
    testing_support::writeFile(outside, "not the installer's");
    testing_support::writeFile(dir.path() / "tmp" / "kept" / "inside", "a folder's content");
    writeConfig(R"([
        {"name": "Empty", "destination": ""},
        {"name": "Dot", "destination": "."},
        {"name": "Parent", "destination": ".."},
        {"name": "Nested", "destination": "sub/engine.zip"},
        {"name": "Absolute", "destination": ")" + outside.string() + R"("},
        {"name": "Folder", "destination": "kept"},
        {"name": "Plain", "destination": "engine.zip"}
    ])");

    const auto entries = DownloadableEntry::entriesFromFile("Configs/Configs.json");

    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0]->name, "Folder");
    EXPECT_EQ(entries[1]->destinationUrl, dir.path() / "tmp" / "engine.zip");
    EXPECT_TRUE(fs::exists(outside));
    EXPECT_TRUE(fs::exists(dir.path() / "tmp" / "kept" / "inside"));
}
