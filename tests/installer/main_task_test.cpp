#include "LaunchTask.h"
#include "MainTask.h"
#include "RootTask.h"
#include "ScriptTask.h"
#include "childproc/recorders.h"
#include "platform/Bundle.h"
#include "platform/Paths.h"
#include "platform/RunLoop.h"
#include "support/http_test_server.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::writeFile;

namespace {

struct SizeRecorder : MainTaskDelegate {
    void mainTaskDidFetchDownloadingSize(MainTask*, std::int64_t size) override { total = size; }
    std::int64_t total = -2;
};

// A bundle of the test's own whose two components are both missing, and a remote document.
class Pipeline : public testing::Test {
protected:
    void SetUp() override {
        resources = dir.path() / "Test.app/Contents/Resources";
        writeFile(dir.path() / "Test.app/Contents/Info.plist", "<plist><dict></dict></plist>");
        // Answers once the test's main thread says so, and gives up after 5 s with the other answer.
        writeFile(resources / "Checkers/check.sh", "touch '" + (dir.path() / "started").string() + "'\n"
                  "for i in $(seq 100); do [ -e '" + (dir.path() / "go").string() + "' ] && { echo 'Not installed'; exit; }; "
                  "sleep 0.05; done; echo 'Version is up to date'\n");
        writeFile(resources / "Configs/Configs.json", R"({"jsonUrl": ")" + server.url("/doc") + R"(", "downloads": [
            {"name": "Engine", "url": "http://127.0.0.1/e.zip", "destination": "e.zip",
             "checker": "../Checkers/check.sh", "installer": "../Installers/engine.sh"},
            {"name": "Disk", "url": "http://127.0.0.1/d.zip", "destination": "d.zip",
             "checker": "../Checkers/check.sh", "installer": "../Installers/disk.sh"}]})");
        platform::Bundle::setMainBundlePath(dir.path() / "Test.app");
        setenv("TMPDIR", dir.path().c_str(), 1);
        task->setLockFilePath((dir.path() / "ravl.lock").string());
    }
    void TearDown() override {
        platform::Bundle::setMainBundlePath({});
        unsetenv("TMPDIR");
    }

    testing_support::TempHome home;
    testing_support::TempDir dir;
    testing_support::HttpTestServer server;
    fs::path resources;
    std::shared_ptr<MainTask> task = std::make_shared<MainTask>();
};

}  // namespace

TEST_F(Pipeline, BuildsTheStepsWithTheirFlagsWeightsAndArgumentsThenTakesTheSizes) {
    server.serve("/doc", "{\"Publisher\": \"P\\u202eu\\u2066b/\\n\", \"AppName\": \"Ga:m/e?\\n\", "
                         "\"UrlShortcut\": {\"Caption\": \"Web\\\\Site&\"}}");
    std::optional<bool> built;
    task->buildPipeline([&built](bool done) { built = done; });
    EXPECT_TRUE(task->allTasks().empty()) << "the main thread waited for the remote document";
    // The checkers run while the main thread goes on: the first one waits until it has seen a turn.
    ASSERT_TRUE(platform::RunLoop::runUntil([&] { return fs::exists(dir.path() / "started"); }, 10s));
    writeFile(dir.path() / "go", "");
    ASSERT_TRUE(platform::RunLoop::runUntil([&] { return built.has_value(); }, 20s));
    ASSERT_TRUE(*built);
    EXPECT_EQ(task->publisher(), "Pub/") << "no control or bidirectional character is shown";

    const auto& steps = task->allTasks();
    ASSERT_EQ(steps.size(), 9u);  // lock, sizes, batch, two downloads, semaphore, disk, unlock, launch
    auto* batch = dynamic_cast<RootTask*>(steps[2].get());
    ASSERT_NE(batch, nullptr);
    EXPECT_TRUE(batch->backgroundProcess());
    EXPECT_EQ(task->downloaders().size(), 2u);
    EXPECT_EQ(task->downloaders()[1]->entry()->name, "Disk");
    const double batchWeight = 10000 + 10000000 + 10000000 + 2 * 200000000.0;
    EXPECT_EQ(batch->totalProgress(), batchWeight);
    EXPECT_EQ(steps[6]->totalProgress(), batchWeight);
    for (std::size_t i : {6u, 7u, 8u}) {
        EXPECT_TRUE(steps[i]->waitForBackgroundProcess()) << i;
    }
    EXPECT_EQ(dynamic_cast<LaunchTask&>(*steps[8]).appName(), "Game");

    // Script steps set after creation go unquoted; batch steps are quoted for the shell text.
    const std::string version = "0.0.0.0";  // the test bundle states none
    const std::string support = platform::paths::applicationSupportDirectory().string();
    EXPECT_EQ(dynamic_cast<ScriptTask&>(*steps[5]).arguments(),
              (std::vector<std::string>{MainTask::absolutePathForLocalPath("../Scripts/create_semaphore.sh"), "SUCCESS", version}));
    EXPECT_EQ(dynamic_cast<ScriptTask&>(*steps[6]).arguments(),
              (std::vector<std::string>{"/Library/Ravelune/install_user.sh", version, support + "/logs/progress_catcher.log"}));

    const auto& batchSteps = batch->bashTasks();
    std::vector<std::string> names;
    std::ranges::transform(batchSteps, std::back_inserter(names), [](const auto& step) { return step->name(); });
    ASSERT_EQ(names, (std::vector<std::string>{"Checking if KEXT installation is possible", "Waiting when download finished",
                                               "Engine", "Disk", "Copying app and changing attributes",
                                               "Create URL shortcut App"}));
    EXPECT_EQ(batchSteps[2]->arguments()[1], "\"" + (dir.path() / "e.zip").string() + "\"");
    EXPECT_EQ(batchSteps[2]->arguments()[4], "\"" + support + "/installer.wait\"");
    EXPECT_EQ(batchSteps[4]->arguments()[1], "\"" + resources.string() + "/Runner.app/.\"");
    EXPECT_EQ(batchSteps[4]->arguments()[2], "\"" + (home.path() / "Applications/Ravelune/Game.app").string() + "\"");
    EXPECT_EQ(batchSteps[5]->arguments()[2], "\"" + (home.path() / "Applications/Ravelune/WebSite.app").string() + "\"");

    // Sizes of another count than the downloads are used as far as both go; unknown weighs 0 and
    // leaves the total unknown.
    SizeRecorder recorder;
    task->setDelegate(&recorder);

    task->fileSizeFetcherDidCalculateFileSizesForUrls(nullptr, {-1, 300, 7}, {});
    EXPECT_EQ(recorder.total, -1);
    EXPECT_EQ(task->downloaders()[0]->fileSize(), 0);
    EXPECT_EQ(task->downloaders()[1]->fileSize(), 300);
    EXPECT_EQ(task->downloaders()[0]->totalDownloadSize(), 300);
    // The downloads, the semaphore, the disk step (the batch's weight) and the launch.
    EXPECT_EQ(task->totalProgress(), 300 + 10000 + batchWeight + 800000000);

    task->fileSizeFetcherDidCalculateFileSizesForUrls(nullptr, {50}, {});
    EXPECT_EQ(recorder.total, 50);
    EXPECT_EQ(task->downloaders()[1]->fileSize(), 300);  // no size for it: left as it was
}

TEST_F(Pipeline, NoUsableNameEndsBeforeAnyStep) {
    // Nothing left once cleaned, nothing visible, or a dot first (once the invisible goes, or
    // behind blanks): a name that would install a hidden or blank bundle.
    for (const char* name : {R"(:/&?\\\r\n)", "..", "../../../../tmp/evil", ".hidden", R"(\u3164)", R"(\u3164.Ravelune)",
                             R"(\u115F)", R"(\uFFA0)", R"(\u2800)", R"(\u00A0)", " ", R"(\u200C)", R"(\u200D)",
                             R"(\u034F)", R"(\uFE0F)", R"(\u00A0.Ravelune)"}) {
        RecordingDelegate recorder;
        task = std::make_shared<MainTask>();
        task->setLockFilePath((dir.path() / "ravl.lock").string());
        server.serve("/doc", std::string(R"({"AppName": ")") + name + R"(", "UrlShortcut": {"Caption": "Web"}})");
        task->setTaskDelegate(&recorder);

        task->execute();
        ASSERT_TRUE(platform::RunLoop::runUntil([&] { return !recorder.events.empty(); }, 20s)) << name;
        EXPECT_TRUE(task->allTasks().empty());
        ASSERT_EQ(recorder.events, std::vector<std::string>{"error"});
        EXPECT_EQ(recorder.error->domain(), "LaunchTask");
        EXPECT_EQ(recorder.error->code(), -1);
        EXPECT_EQ(recorder.error->localizedDescription(), "The installer could not read its configuration from the server");
        EXPECT_EQ(recorder.error->localizedRecoverySuggestion(),
                  "Please, check your internet connection and run the installer again.");
        EXPECT_FALSE(fs::exists(dir.path() / "ravl.lock"));
    }
}

TEST(RemoteNames, LoseThePathAndShellCharactersAndEveryControlCharacter) {
    EXPECT_EQ(MainTask::cleanedName("a:b/c&d?e\\f\ng\th\x7Fi\xC2\x85j\xE2\x80\xA8k l\xC3\xA9"), "abcdefghijk l\xC3\xA9");
    // Shown as "Evil...Corpgame" were the right-to-left override kept; isolates go as well.
    EXPECT_EQ(MainTask::cleanedText("Evil...Corp\xE2\x80\xAE" "emag \xE2\x81\xA6x\xE2\x81\xA9 a/b"), "Evil...Corpemag x a/b");
    // Invisible: the zero-width space, the byte order mark, the marks of direction, the soft hyphen,
    // a tag character. The joiners that spell words stay, a stray one goes; a byte that starts no
    // character stays.
    EXPECT_EQ(MainTask::cleanedName("Rave\u200Blune \uFEFFWeb\u200F\u200E\u061C so\u00ADft \U000E0041t"), "Ravelune Web soft t");
    EXPECT_EQ(MainTask::cleanedText("\u0645\u06CC\u200C\u0631\u0648\u062F \u200D\xFF"), "\u0645\u06CC\u200C\u0631\u0648\u062F \xFF");
    // Default-ignorable characters go too; a joiner stays only between visible characters beyond
    // ASCII: Persian, Devanagari, emoji sequences (which lose their variation selectors).
    for (const auto& [remote, cleaned] : std::vector<std::pair<std::string, std::string>>{
             {"\u3164.Ravelune\u034F\uFE0F\u115F\uFFA0\u2064", ".Ravelune"},
             {"Rave\u200Dlune on\u200C the Web", "Ravelune on the Web"},
             {"\u200D\u0645\u200C\u200C\u0645\u200D \u200C\u0645\u200D", "\u0645\u200C\u0645 \u0645"},
             {"\u0915\u094D\u200D\u0937 \u6E38\u620F", "\u0915\u094D\u200D\u0937 \u6E38\u620F"},
             {"\U0001F468\u200D\U0001F469\u200D\U0001F467", "\U0001F468\u200D\U0001F469\u200D\U0001F467"},
             {"\U0001F3F3\uFE0F\u200D\U0001F308", "\U0001F3F3\u200D\U0001F308"}}) {
        EXPECT_EQ(MainTask::cleanedName(remote), cleaned) << remote;
    }
    EXPECT_TRUE(MainTask::isUsableName("\u00A0\u2800\u0645"));
    EXPECT_FALSE(MainTask::isUsableName("\u3000\u2000 \u202F\u205F\u1680"));
    EXPECT_TRUE(MainTask::isUsableName(std::string(251, 'a')));
    EXPECT_FALSE(MainTask::isUsableName(std::string(252, 'a'))) << "\"<name>.app\" passes 255 bytes";
    EXPECT_FALSE(MainTask::isUsableName("."));
    EXPECT_FALSE(MainTask::isUsableName(".app"));
}
