#include "PlatformInfo.h"
#include "platform/Bundle.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

// A bundle of the test's own, with an optional short version and a fake "sysinfo-app".
class TestBundle : public ::testing::Test {
protected:
    fs::path contents() const { return dir.path() / "Test.app" / "Contents"; }
    fs::path tool() const { return contents() / "Resources" / "utility" / "sysinfo-app"; }

    void SetUp() override {
        fs::create_directories(contents() / "Resources" / "Configs");
        fs::create_directories(tool().parent_path());
        testing_support::writeFile(contents() / "Resources" / "Configs" / "Configs.json", "{}");
        platform::Bundle::setMainBundlePath(dir.path() / "Test.app");
        PlatformInfo::resetOpenGlinfo();
    }
    void TearDown() override {
        platform::Bundle::setMainBundlePath({});
        PlatformInfo::resetOpenGlinfo();
    }

    void writeInfo(const std::string& dictionaryBody) {
        testing_support::writeFile(contents() / "Info.plist",
                                   "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>" + dictionaryBody + "</dict></plist>");
        platform::Bundle::setMainBundlePath(dir.path() / "Test.app");
    }
    // The fake tool counts its runs in a file beside it and prints the given text.
    void writeTool(const std::string& output) {
        testing_support::writeFile(tool(), "#!/bin/sh\necho run >> \"$(dirname \"$0\")/runs\"\nprintf '%s' '" + output + "'\n");
        fs::permissions(tool(), fs::perms::owner_all);
    }
    int runs() const {
        const fs::path file = tool().parent_path() / "runs";
        if (!fs::exists(file)) {
            return 0;
        }
        const std::string text = testing_support::readFile(file);
        return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
    }

    testing_support::TempDir dir;
};

}  // namespace

TEST_F(TestBundle, AppVersionComesFromTheShortVersion) {
    writeInfo("<key>CFBundleShortVersionString</key><string>1.4</string>");
    EXPECT_EQ(PlatformInfo::appVersion(), "1.4.0");
    writeInfo("<key>CFBundleShortVersionString</key><string>${VERSION}</string>");
    EXPECT_EQ(PlatformInfo::appVersion(), "0.0.0.0");
    writeInfo("<key>CFBundleShortVersionString</key><string></string>");
    EXPECT_EQ(PlatformInfo::appVersion(), "0.0.0.0");
    writeInfo("");
    EXPECT_EQ(PlatformInfo::appVersion(), "0.0.0.0");
}

TEST_F(TestBundle, ToolPathIsAnchoredAtTheConfigsFolder) {
    EXPECT_EQ(PlatformInfo::configsFolderPath("../utility/sysinfo-app"),
              contents() / "Resources" / "Configs" / ".." / "utility" / "sysinfo-app");
}

TEST_F(TestBundle, OpenGlFactsAreReadOnceAndKept) {
    writeTool(R"({"Version":"4.1","Vendor":"Acme","Renderer":"Acme GL","Extensions":"GL_A GL_B"})");
    EXPECT_EQ(PlatformInfo::openGLVersion(), "4.1");
    EXPECT_EQ(PlatformInfo::openGLVendor(), "Acme");
    EXPECT_EQ(PlatformInfo::openGLRenderer(), "Acme GL");
    EXPECT_EQ(PlatformInfo::openGLExtensions(), "GL_A GL_B");
    EXPECT_EQ(PlatformInfo::openGlinfo()->stringMember("Vendor"), "Acme");
    EXPECT_EQ(runs(), 1);
}

TEST_F(TestBundle, UnparsableOpenGlFactsAreAskedForAgain) {
    writeTool("no context");
    EXPECT_FALSE(PlatformInfo::openGlinfo());
    EXPECT_EQ(PlatformInfo::openGLVersion(), "");
    EXPECT_EQ(runs(), 2);

    writeTool(R"({"Version":"3.3","Vendor":7})");
    EXPECT_EQ(PlatformInfo::openGLVersion(), "3.3");
    EXPECT_EQ(PlatformInfo::openGLVendor(), "");  // not a string
    EXPECT_EQ(PlatformInfo::openGLRenderer(), "");
    EXPECT_EQ(runs(), 3);
}

TEST_F(TestBundle, MissingToolGivesNoFacts) {
    EXPECT_FALSE(PlatformInfo::openGlinfo());
    EXPECT_EQ(PlatformInfo::openGLExtensions(), "");
}

TEST(BuiltSysinfoApp, GivesAllFourFactsOrNone) {
    platform::Bundle::setMainBundlePath(INSTALLER_BUNDLE);
    PlatformInfo::resetOpenGlinfo();
    const auto info = PlatformInfo::openGlinfo();
    if (info) {
        for (const char* key : {"Version", "Vendor", "Renderer", "Extensions"}) {
            EXPECT_TRUE(info->stringMember(key)) << key;
        }
        EXPECT_FALSE(PlatformInfo::openGLVersion().empty());
    }
    platform::Bundle::setMainBundlePath({});
    PlatformInfo::resetOpenGlinfo();
}
