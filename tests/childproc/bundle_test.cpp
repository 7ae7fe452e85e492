#include "platform/Bundle.h"
#include "platform/Environment.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

TEST(BundleLookup, ReadsInfoAndResourcesOfTheBuiltInstallerBundle) {
    const platform::Bundle bundle(INSTALLER_BUNDLE);
    EXPECT_EQ(bundle.resourcePath(), fs::path(INSTALLER_BUNDLE) / "Contents" / "Resources");
    EXPECT_EQ(bundle.bundleIdentifier(), "com.ravelune.installer");
    EXPECT_TRUE(bundle.objectForInfoDictionaryKey("CFBundleShortVersionString"));
    EXPECT_FALSE(bundle.objectForInfoDictionaryKey("NoSuchKey"));
    EXPECT_TRUE(bundle.pathForResource("Configs/Configs", "json"));
    EXPECT_FALSE(bundle.pathForResource("missing", "json"));

    const platform::Bundle runner(bundle.resourcePath() / "Runner.app");
    EXPECT_TRUE(runner.pathForResource("game", "json"));
}

TEST(BundleLookup, MainBundleFollowsTheExecutableUnlessPointedElsewhere) {
    // A test program is no bundle: its own folder serves as bundle and resources.
    const fs::path executableFolder = fs::read_symlink("/proc/self/exe").parent_path();
    EXPECT_EQ(platform::Bundle::mainBundle().resourcePath(), executableFolder);

    testing_support::TempDir dir;
    fs::create_directories(dir.path() / "Own.app" / "Contents" / "Resources");
    testing_support::writeFile(dir.path() / "Own.app" / "Contents" / "Info.plist",
                               "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                               "<key>CFBundleShortVersionString</key><string>2.5</string>"
                               "<key>Nested</key><dict><key>Inner</key><string>no</string></dict>"
                               "<key>Flag</key><true/></dict></plist>");
    platform::Bundle::setMainBundlePath(dir.path() / "Own.app");
    EXPECT_EQ(platform::Bundle::mainBundle().resourcePath(), dir.path() / "Own.app" / "Contents" / "Resources");
    EXPECT_EQ(platform::Bundle::mainBundle().objectForInfoDictionaryKey("CFBundleShortVersionString"), "2.5");
    EXPECT_FALSE(platform::Bundle::mainBundle().objectForInfoDictionaryKey("Inner"));
    platform::Bundle::setMainBundlePath({});
    EXPECT_EQ(platform::Bundle::mainBundle().resourcePath(), executableFolder);
}

TEST(EnvironmentFacts, TemporaryFolderEndsWithASlash) {
    setenv("TMPDIR", "/var/tmp", 1);
    EXPECT_EQ(platform::temporaryDirectory(), "/var/tmp/");
    setenv("TMPDIR", "", 1);
    EXPECT_EQ(platform::temporaryDirectory(), "/tmp/");
    unsetenv("TMPDIR");
    EXPECT_EQ(platform::temporaryDirectory(), "/tmp/");
    EXPECT_FALSE(platform::userName().empty());
}
