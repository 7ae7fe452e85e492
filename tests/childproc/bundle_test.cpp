#include "platform/Bundle.h"
#include "platform/Environment.h"
#include "platform/FileManager.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

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

// $TMPDIR when set, with a slash added; otherwise a folder only this user can enter, so no one
// can plant a file at a destination before the installer looks there.
TEST(EnvironmentFacts, TheTemporaryFolderIsTmpdirOrTheUsersOwn) {
    setenv("TMPDIR", "/var/tmp", 1);
    EXPECT_EQ(platform::temporaryDirectory(), "/var/tmp/");
    EXPECT_FALSE(platform::userName().empty());
    const std::string own = "/tmp/ravelune-" + std::to_string(::geteuid()) + "/";
    setenv("TMPDIR", "", 1);
    EXPECT_EQ(platform::temporaryDirectory(), own);
    unsetenv("TMPDIR");
    EXPECT_EQ(platform::temporaryDirectory(), own);
    struct stat facts {};
    ASSERT_EQ(::lstat(own.c_str(), &facts), 0);
    EXPECT_TRUE(S_ISDIR(facts.st_mode));
    EXPECT_EQ(facts.st_uid, ::geteuid());
    EXPECT_EQ(facts.st_mode & 0777, 0700u);
}

TEST(EnvironmentFacts, APrivateFolderIsNeitherALinkNorSomeoneElsesNorOpen) {
    testing_support::TempDir dir;
    for (const auto mode : {fs::perms::all, fs::perms::owner_all | fs::perms::group_all,
                            fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec}) {
        const fs::path open = dir.path() / "open";
        fs::create_directory(open);
        fs::permissions(open, mode);
        EXPECT_FALSE(platform::ensurePrivateDirectory(open));
        EXPECT_EQ(fs::status(open).permissions(), mode);  // refused as it is, not made private
    }
    EXPECT_TRUE(platform::ensurePrivateDirectory(dir.path() / "fresh"));

    fs::create_directory_symlink(dir.path() / "fresh", dir.path() / "link");  // even to a private folder
    EXPECT_FALSE(platform::ensurePrivateDirectory(dir.path() / "link"));
    testing_support::writeFile(dir.path() / "file", "");
    EXPECT_FALSE(platform::ensurePrivateDirectory(dir.path() / "file"));
    if (::geteuid() == 0) {
        const fs::path theirs = dir.path() / "theirs";
        fs::create_directory(theirs);
        ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
        EXPECT_FALSE(platform::ensurePrivateDirectory(theirs));
        const fs::path planted = dir.path() / "fresh" / "planted";
        ASSERT_EQ(::mkfifo(planted.c_str(), 0666), 0);
        ASSERT_EQ(::lchown(planted.c_str(), 65534, 65534), 0);
        EXPECT_FALSE(platform::ensurePrivateDirectory(dir.path() / "fresh"));
    }
}

// Another user may spoil the name in /tmp (here: left open to all); the user's cache folder then
// serves, the same one on every run, so that a download can still be resumed. A cache folder that
// others could rename the installer's folder out of (writable by all or by a group without the
// sticky bit, or a link to such a folder) is refused: the run then has a fresh folder of its own,
// gone when it ends.
TEST(EnvironmentFacts, WithTheSharedNameSpoiledEveryRunUsesOneFolderInTheUsersCache) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "acting as another user needs root";
    }
    const uid_t user = 40000 + static_cast<uid_t>(::getpid() % 20000);
    testing_support::TempDir dir;
    ASSERT_EQ(::chown(dir.path().c_str(), user, user), 0);
    const fs::path shared = "/tmp/ravelune-" + std::to_string(user);
    fs::remove_all(shared);
    ASSERT_TRUE(fs::create_directory(shared));
    fs::permissions(shared, fs::perms::all);
    ASSERT_EQ(::chown(shared.c_str(), user, user), 0);
    const fs::path cache = dir.path() / "cache";
    const fs::path open = dir.path() / "open";
    fs::create_directory(open);
    fs::permissions(open, fs::perms::all);
    // Writable by a group of the user's without the sticky bit is as open as writable by all.
    const fs::path groupOpen = dir.path() / "group", groupFull = dir.path() / "group-full";
    for (const auto& [folder, mode] : {std::pair{groupOpen, 0775}, std::pair{groupFull, 0770}}) {
        fs::create_directory(folder);
        ASSERT_EQ(::chown(folder.c_str(), 0, user), 0);
        ASSERT_EQ(::chmod(folder.c_str(), mode), 0);
    }
    const fs::path home = dir.path() / "home";
    fs::create_directory(home);
    fs::create_directory_symlink(open, home / ".cache");
    const std::string fresh = "/tmp/ravelune-" + std::to_string(user) + "-[^/]+/\n";
    const struct {
        std::string cacheHome;  // empty: ".cache" in the home folder
        std::string folder;
    } runs[] = {  // each a run of the installer by that user
        {cache, "folder=" + (cache / "ravelune-installer").string() + "/\n"},
        {cache, "folder=" + (cache / "ravelune-installer").string() + "/\n"},
        {open, "folder=" + fresh},
        {groupOpen, "folder=" + fresh},
        {groupFull, "folder=" + fresh},
        {"", "folder=" + fresh},
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(run.cacheHome);
        EXPECT_EXIT(
            {
                if (run.cacheHome.empty()) {
                    unsetenv("XDG_CACHE_HOME");
                } else {
                    setenv("XDG_CACHE_HOME", run.cacheHome.c_str(), 1);
                }
                setenv("HOME", home.c_str(), 1);
                unsetenv("TMPDIR");
                if (::setresgid(user, user, user) == 0 && ::setresuid(user, user, user) == 0) {
                    const std::string folder = platform::temporaryDirectory();
                    std::fprintf(stderr, "folder=%s\n", folder.c_str());
                    testing_support::writeFile(folder + "Engine", "a component");
                }
                std::exit(0);
            },
            testing::ExitedWithCode(0), run.folder);
    }
    fs::remove_all(shared);
    EXPECT_EQ(fs::status(cache / "ravelune-installer").permissions(), fs::perms::owner_all);
    for (const auto& entry : fs::directory_iterator("/tmp")) {
        EXPECT_FALSE(entry.path().filename().string().starts_with(shared.filename().string() + "-")) << entry.path();
    }
}
