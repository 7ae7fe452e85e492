#include "download_fixture.h"
#include "platform/Environment.h"

#include <csignal>
#include <cstring>
#include <sys/resource.h>
#include <sys/stat.h>

namespace fs = std::filesystem;
using testing_support::HttpTestServer;
using Kind = HttpTestServer::FaultKind;

namespace {

// Every faulty server ends in the whole file or the alert well within this bound.
constexpr auto bound = std::chrono::seconds(15);
constexpr std::int64_t size = 2 << 20;

class DownloadFaults : public DownloadTest {
protected:
    // The Range header of each GET of the path, in order.
    std::vector<std::string> ranges(const std::string& path) {
        std::vector<std::string> found;
        for (const auto& request : server.requests()) {
            if (request.method == "GET" && request.path == path) {
                found.push_back(request.range);
            }
        }
        return found;
    }
    // What an earlier run left of the component `name`: the partial file and a record that lets
    // a transfer of `path` go on from it; the partial file's path without its extension.
    std::string leave(const std::string& name, const std::string& path, const std::string& etag,
                      const std::string& part) {
        const std::string left = (downloading() / ("com.example.test.downloading." + name)).string();
        testing_support::writeFile(left + ".json", R"({"url":")" + server.url(path) + R"(","etag":"\")" + etag +
                                                       R"(\"","acceptRanges":true,"bytes":)" +
                                                       std::to_string(part.size()) + "}");
        testing_support::writeFile(left + ".part", part);
        return left;
    }
};

}  // namespace

TEST_F(DownloadFaults, EachFaultEndsInTheWholeFileFetchedAgainFromWhereItCan) {
    const struct {
        std::string name;
        std::vector<HttpTestServer::Fault> faults;
        std::vector<testing::Matcher<std::string>> ranges;
        bool validated = true;  // false: the server names no validator, so nothing can be resumed
        std::int64_t measured = 0;  // the size measured before the download; 0: none
        bool statesLength = true;
    } cases[] = {
        {"Dropped", {{Kind::Drop, 1 << 20}}, {"", "bytes=1048576-"}},
        {"RangeIgnored", {{Kind::Drop, 1 << 20}, {Kind::IgnoreRange}}, {"", "bytes=1048576-"}},
        {"Refused416", {{Kind::Drop, 1 << 20}, {Kind::Refuse416}}, {"", "bytes=1048576-", ""}},
        {"Stalled", {{Kind::Stall, 64 << 10}}, {"", "bytes=65536-"}},
        {"ErrorPage", {{Kind::Status, 0, 500}}, {"", ""}},
        {"NoValidator", {{Kind::Drop, 1 << 20}}, {"", ""}, false},
        {"RangeFromStart", {{Kind::Drop, 1 << 20}, {Kind::RangeFromStart}}, {"", "bytes=1048576-", ""}},
        {"ShortRange", {{Kind::Drop, 1 << 20}, {Kind::ShortRange, 4096}}, {"", "bytes=1048576-", ""}},
        // Under the minimum rate counts as stalled, also after a fast start.
        {"Trickle", {{Kind::Throttle, 0, 0, 8 << 10}}, {"", testing::StartsWith("bytes=")}},
        {"FastThenTrickle", {{Kind::Throttle, 1 << 20, 0, 8 << 10}}, {"", testing::StartsWith("bytes=")}},
        // Only a body that ends where the answer says the file ends is delivered.
        {"LengthShort", {{Kind::Drop, 1 << 20}, {Kind::StatedLength, 512 << 10}}, {"", "bytes=1048576-", "bytes=1572864-"}},
        {"LengthLong",
         {{Kind::Drop, 1 << 20}, {Kind::StatedLength, (1 << 20) + (64 << 10)}},
         {"", "bytes=1048576-", testing::StartsWith("bytes=")}},
        {"OpenEndedShort", {{Kind::Drop, 1 << 20}, {Kind::OpenEndedRange, 512 << 10}}, {"", "bytes=1048576-", "bytes=1572864-"}},
        // A compressed answer, although the file was asked for as it is, leaves nothing to go on from.
        {"Encoded", {{Kind::Encoded}}, {"", ""}},
        // Nor is a file delivered at any length but the one measured and stated in this run, also
        // when the answer states none and the connection ends early.
        {"UnstatedCutShort", {{Kind::Drop, 1 << 20}}, {"", "bytes=1048576-"}, true, size, false},
        {"HalfStated", {{Kind::StatedLength, 1 << 20}}, {"", ""}, true, size},
        {"HtmlPage", {{Kind::Status, 0, 200}}, {"", ""}, true, size},
        {"TotalContradicted",
         {{Kind::Drop, 1 << 20}, {Kind::StatedTotal, 3 << 19}},
         {"", "bytes=1048576-", "bytes=1048576-"}},
    };
    const std::string content = generated(size);
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        const std::string path = "/" + test.name;
        server.serve(path, content, test.statesLength, test.validated);
        for (const auto& fault : test.faults) {
            server.addFault(path, fault);
        }
        observer = StepObserver{};
        codes.clear();
        auto step = downloader(test.name, path);
        step->setFileSize(test.measured);

        ASSERT_TRUE(run(*step, bound));

        ASSERT_EQ(observer.events.back(), "finished") << (observer.error ? observer.error->description() : "");
        EXPECT_EQ(checksum(testing_support::readFile(tmp() / test.name)), checksum(content));
        EXPECT_EQ(codes, (std::vector<std::int64_t>{4, 5}));
        EXPECT_THAT(ranges(path), testing::ElementsAreArray(test.ranges));
    }
}

TEST_F(DownloadFaults, AServerThatKeepsFailingOrRefusesEndsInTheDownloaderAlert) {
    server.serve("/engine", generated(size));
    server.addFault("/engine", {Kind::Status, 0, 500, 0, -1});
    auto step = downloader("Engine", "/engine");

    ASSERT_TRUE(run(*step, bound));

    ASSERT_TRUE(observer.error);
    EXPECT_EQ(observer.error->domain(), "Downloader");
    EXPECT_EQ(observer.error->code(), -1);
    EXPECT_EQ(observer.error->localizedDescription(), "Cannot download \"Engine\"");
    const std::string advice = observer.error->localizedRecoverySuggestion().value_or("");
    EXPECT_NE(advice.find(server.url("/engine")), std::string::npos) << advice;
    EXPECT_NE(advice.find("check your internet connection and run the installer again"), std::string::npos);
    EXPECT_EQ(ranges("/engine").size(), 5u);  // the first try and four more
    EXPECT_FALSE(fs::exists(tmp() / "Engine"));
    EXPECT_EQ(codes, std::vector<std::int64_t>{4});

    observer = StepObserver{};
    auto refused = downloader("Refused", "/engine");
    refused->entry()->sourceUrl = "http://127.0.0.1:1/engine";
    ASSERT_TRUE(run(*refused, bound));
    ASSERT_TRUE(observer.error);
    EXPECT_EQ(observer.error->domain(), "Downloader");

    // A disk that takes no more (here: a file size limit) is named as the cause, not the network.
    observer = StepObserver{};
    server.serve("/big", generated(size));
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    const rlimit unlimited = limit;
    limit.rlim_cur = 1 << 20;
    std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &limit);
    auto full = downloader("Full", "/big");
    const bool ended = run(*full, bound);
    ::setrlimit(RLIMIT_FSIZE, &unlimited);
    std::signal(SIGXFSZ, SIG_DFL);
    ASSERT_TRUE(ended);
    ASSERT_TRUE(observer.error);
    EXPECT_EQ(observer.error->localizedDescription(), "Cannot save \"Full\"");
    EXPECT_EQ(observer.error->localizedRecoverySuggestion(),
              "The download could not be written to " + (tmp() / ".downloading").string() + ": " +
                  std::strerror(EFBIG) +
                  ". Please check that the disk has free space and can be written to, and run the installer again.");

    // Only 200 and 206 carry the file, under a status line that parses, and as it is: asked for so,
    // never compressed, however the head spells its coding. A resume whose range ends before it
    // starts, or where no file can end, is refused: a short body would have no size to fall short of.
    const std::string gzip = "Content-Length: 4\r\nConnection: close\r\n\r\n\x1f\x8b\x08z";
    const std::string range =
        "HTTP/1.1 206 Partial Content\r\nETag: \"v1\"\r\nConnection: close\r\nContent-Range: bytes 1000-";
    const struct {
        std::string name;
        std::string reply;
        bool resumes = false;  // an earlier run left 1000 bytes to go on from
    } refusals[] = {
        {"Empty", "HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n"},
        {"Twice", "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Encoding: identity\r\n" + gzip},  // they add up
        {"Folded", "HTTP/1.1 200 OK\r\nContent-Encoding: identity,\r\n gzip\r\n" + gzip},
        {"BlankBeforeColon", "HTTP/1.1 200 OK\r\nCONTENT-ENCODING :gzip\r\n" + gzip},
        {"EndsBeforeStart", range + "-5/*\r\n\r\nshort", true},
        {"EndsNowhere", range + "99999999999999999999/*\r\n\r\nshort", true},
        {"Garbled206", "HTTP/x 206 Partial\r\nContent-Range: bytes 1000-1048/1049\r\n\r\n" + std::string(49, 'g'),
         true},
        {"Garbled416", "HTTP/x 416 Range\r\nContent-Range: bytes */1000\r\nContent-Length: 0\r\n\r\n", true},
    };
    for (const auto& test : refusals) {
        SCOPED_TRACE(test.name);
        if (test.resumes) {
            leave(test.name, "/engine", "v1", std::string(1000, 'x'));
        }
        server.setReply(test.reply);
        observer = StepObserver{};
        auto attempt = downloader(test.name, "/engine");
        ASSERT_TRUE(run(*attempt, bound));
        EXPECT_EQ(observer.error ? observer.error->domain() : "delivered", "Downloader");
        EXPECT_FALSE(fs::exists(tmp() / test.name));
        EXPECT_NE(server.requests().back().raw.find("\r\nAccept-Encoding: identity\r\n"), std::string::npos);
    }
}

// What an earlier run left that a resume cannot use: a record that cannot be used, or a partial
// file that is no regular file, goes with the other, with one warning, and the file comes from its
// first byte, as it does when a link stands for the folder; a resume answered by the whole file,
// which has become shorter meanwhile (down to nothing), ends as that file alone.
TEST_F(DownloadFaults, WhatAResumeCannotUseEndsAsTheFileServedNow) {
    const std::string content = generated(size);
    const std::string etag = R"("etag":"\"v1-)" + std::to_string(size) + R"(\"")";
    const std::string resumable = etag + R"(,"acceptRanges":true,"bytes":1000})";
    enum class Left { File, PartLink, PartFolder, FolderLink };  // what stands for the partial file or folder
    const struct {
        std::string name;
        std::string fields;  // of the record, besides the address
        std::string served;
        std::string range;  // of the one request
        Left left = Left::File;
    } cases[] = {
        {"AcceptRangesNotABoolean", etag + R"(,"acceptRanges":1,"bytes":0})", content, ""},
        {"EtagNotAString", R"("etag":12345,"acceptRanges":true,"bytes":0})", content, ""},
        {"NegativeOffset", etag + R"(,"acceptRanges":true,"bytes":-5})", content, ""},
        {"Unparsable", etag + R"(,"acceptRanges":true,"bytes":)", content, ""},
        {"Shorter", etag + R"(,"acceptRanges":true,"bytes":1000})", "a newer, shorter file", "bytes=1000-"},
        {"Emptied", resumable, "", "bytes=1000-"},
        {"PartLink", resumable, content, "", Left::PartLink},
        {"PartFolder", resumable, content, "", Left::PartFolder},
        {"FolderLink", resumable, content, "", Left::FolderLink},  // last: it replaces the folder
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        const std::string path = "/" + test.name;
        server.serve(path, test.served);
        // What an earlier run left: the record and the partial file.
        const fs::path folder = test.left == Left::FolderLink ? dir.path() / "elsewhere" : downloading();
        const fs::path left = folder / ("com.example.test.downloading." + test.name);
        testing_support::writeFile(left.string() + ".json", R"({"url":")" + server.url(path) + R"(",)" + test.fields);
        const fs::path part = left.string() + ".part";
        if (test.left == Left::PartFolder) {
            fs::create_directory(part);
        } else {
            testing_support::writeFile(test.left == Left::PartLink ? dir.path() / "target" : part, std::string(1000, 'x'));
        }
        if (test.left == Left::PartLink) {
            fs::create_symlink(dir.path() / "target", part);
        } else if (test.left == Left::FolderLink) {
            fs::permissions(folder, fs::perms::owner_all);
            fs::remove_all(tmp() / ".downloading");
            fs::create_directory_symlink(folder, tmp() / ".downloading");
        }
        observer = StepObserver{};
        auto step = downloader(test.name, path);

        ASSERT_TRUE(run(*step, bound));

        ASSERT_EQ(observer.events.back(), "finished");
        EXPECT_EQ(checksum(testing_support::readFile(tmp() / test.name)), checksum(test.served));
        EXPECT_EQ(ranges(path), std::vector<std::string>{test.range});
        const bool folderLink = test.left == Left::FolderLink;
        const std::string warning = "WARN Download record discarded: " +
                                    (folderLink ? (tmp() / ".downloading").string() + " is" : left.string() + ".json");
        EXPECT_EQ(logLines.linesStartingWith(warning),
                  test.range.empty() ? std::vector<std::string>{warning + (folderLink ? " not a folder" : " cannot be resumed")}
                                     : std::vector<std::string>{});
    }
}

// A record that cannot be written is reported and leaves nothing a later run would trust; the
// transfer then has nothing to go on from and starts over.
TEST_F(DownloadFaults, ARecordThatCannotBeWrittenIsReportedAndLeftOut) {
    server.serve("/engine", generated(size));
    server.addFault("/engine", {Kind::Drop, 1 << 20});
    const fs::path record = downloading() / "com.example.test.downloading.Engine.json";
    fs::create_directory(record.string() + ".new");  // where the record is written first
    auto step = downloader("Engine", "/engine");

    ASSERT_TRUE(run(*step, bound));

    ASSERT_EQ(observer.events.back(), "finished");
    EXPECT_EQ(ranges("/engine"), (std::vector<std::string>{"", ""}));
    EXPECT_FALSE(logLines.linesStartingWith("WARN Download record discarded: " + record.string() + " could not be written: ").empty());
    EXPECT_FALSE(fs::exists(record));
}

// A file changed since the partial file was made, answered whole at a length this run did not
// measure, is refused, and the partial file keeps its own validator: the next run, which measures
// the new length, gets the new file whole rather than its rest joined onto the old part.
TEST_F(DownloadFaults, AChangedFileRefusedForItsLengthIsNeverJoinedOntoTheOldPart) {
    leave("Engine", "/engine", "v1-2000", std::string(1000, 'o'));
    const std::string changed = generated(3000);
    server.serve("/engine", changed);
    for (const std::int64_t measured : {2000, 3000}) {  // the old length, then the next run's
        observer = StepObserver{};
        auto step = downloader("Engine", "/engine");
        step->setFileSize(measured);
        ASSERT_TRUE(run(*step, bound));
    }
    EXPECT_EQ(observer.events.back(), "finished");
    EXPECT_EQ(checksum(testing_support::readFile(tmp() / "Engine")), checksum(changed));
}

// The user's folder for partial files left too open (by hand, or a chmod over the folder above) is
// narrowed and what it holds is resumed; one of someone else's (a root run that kept the user's
// TMPDIR) or one that holds something of theirs is left as it is, and the file comes through a
// fresh folder that goes with the step.
TEST_F(DownloadFaults, AFolderTooOpenIsNarrowedAndOneOfSomeoneElsesIsAvoided) {
    const std::string content = generated(size);
    const uid_t user = ::geteuid();
    const uid_t other = 65534;
    const struct {
        std::string name;
        mode_t mode;
        uid_t owner;
        bool holdsTheirs;
        std::string range;  // of the one request
    } cases[] = {
        {"Readable", 0755, user, false, "bytes=1000-"},
        {"Writable", 0777, user, false, "bytes=1000-"},
        {"Theirs", 0700, other, false, ""},
        {"HoldsTheirs", 0700, user, true, ""},
    };
    const fs::path folder = tmp() / ".downloading";
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        if ((test.owner != user || test.holdsTheirs) && user != 0) {
            continue;  // acting as another user needs root
        }
        const std::string path = "/" + test.name;
        server.serve(path, content);
        fs::remove_all(folder);
        const std::string left = leave(test.name, path, "v1-" + std::to_string(size), content.substr(0, 1000));
        if (test.holdsTheirs) {
            testing_support::writeFile(folder / "planted", "");
            ASSERT_EQ(::chown((folder / "planted").c_str(), other, other), 0);
        }
        ASSERT_EQ(::chown(folder.c_str(), test.owner, static_cast<gid_t>(-1)), 0);
        ASSERT_EQ(::chmod(folder.c_str(), test.mode), 0);
        observer = StepObserver{};
        auto step = downloader(test.name, path);

        ASSERT_TRUE(run(*step, bound));
        step.reset();

        EXPECT_EQ(observer.events.back(), "finished");
        EXPECT_EQ(checksum(testing_support::readFile(tmp() / test.name)), checksum(content));
        EXPECT_EQ(ranges(path), std::vector<std::string>{test.range});
        struct stat facts {};
        ASSERT_EQ(::lstat(folder.c_str(), &facts), 0);
        EXPECT_EQ(facts.st_uid, test.owner);
        EXPECT_EQ(facts.st_mode & 0777, test.range.empty() ? test.mode : 0700);
        EXPECT_EQ(fs::exists(left + ".part"), test.range.empty());  // someone else's folder is left as it is
        for (const auto& entry : fs::directory_iterator(platform::runDirectory())) {
            EXPECT_FALSE(entry.path().filename().string().starts_with(".downloading-")) << entry.path();
        }
    }
}
