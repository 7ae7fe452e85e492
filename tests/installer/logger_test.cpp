#include "Logger/Logger.h"
#include "platform/Paths.h"
#include "support/log_capture.h"
#include "support/temp_home.h"

#include <log4cplus/logger.h>
#include <log4cplus/mdc.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <thread>
#include <vector>

using testing_support::readFile;
using testing_support::TempHome;
namespace fs = std::filesystem;

namespace {

fs::path configuredLog(Logger& logger, const std::string& version = "1.2.3.0") {
    const fs::path logs = platform::paths::logsDirectory();
    fs::create_directories(logs);
    logger.setProcess("Installer");
    logger.setEulatorId("HWID0001");
    logger.setInstallationId("0123456789abcdef0123456789abcdef");
    logger.setVersion(version);
    logger.initLogger((logs / "installer.log").string());
    return logs / "installer.log";
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        result.push_back(text.substr(start, end - start));
    }
    return result;
}

}  // namespace

TEST(LoggingFacade, PropertiesTextIsTheBuiltInConfigurationByteForByte) {
    const std::string path = "/Users/me/Library/Application Support/Ravelune/logs/installer.log";
    const std::string expected =
        "log4cplus.rootLogger                                 = DEBUG, RLogFile, LogglyLog\r\n"
        "log4cplus.additivity                                 = true\r\n"
        "log4cplus.appender.RLogFile                          = log4cplus::RollingFileAppender\r\n"
        "log4cplus.appender.RLogFile.MaxFileSize              = 1MB\r\n"
        "log4cplus.appender.RLogFile.MaxBackupIndex           = 5\r\n"
        "log4cplus.appender.RLogFile.ImmediateFlush           = true\r\n"
        "log4cplus.appender.RLogFile.layout                   = log4cplus::PatternLayout\r\n"
        "log4cplus.appender.RLogFile.layout.ConversionPattern = %-5p [%D{%Y-%m-%d %H:%M:%S.%q}][%t][%c] - %m%n\r\n"
        "log4cplus.appender.LogglyLog                         = log4cplus::LogglyAppender\r\n"
        "log4cplus.appender.LogglyLog.logServer               = " RAVELUNE_LOG_SERVER "\r\n"
        "log4cplus.appender.LogglyLog.token                   = 7c1e94d2-3a58-4f07-b6e9-2d8a51c0f37b\r\n"
        "log4cplus.appender.RLogFile.File = /Users/me/Library/Application Support/Ravelune/logs/installer.log";
    EXPECT_EQ(Cpp::LoggerImpl().buildProperties(path), expected);
}

TEST(LoggingFacade, WritesEveryLevelToTheRollingFileInTheLineLayout) {
    TempHome home;
    Logger& logger = Logger::shared();
    const fs::path log = configuredLog(logger);

    logger.logInfo("Installer %@ started to work.", std::string("1.2.3.0"));
    logger.logWarn("warned %d", 2);
    logger.logError("failed: %@", std::string("Grüße – 日本"));
    logger.logFatal("fatal");
    logger.logDebug("debug %s", "detail");

    const auto written = lines(readFile(log));
    ASSERT_EQ(written.size(), 5u);
    const std::regex layout(R"(^(INFO |WARN |ERROR|FATAL|DEBUG) \[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\]\[[^\]]+\]\[osx\.instller\] - (.*)$)");
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"INFO ", "Installer 1.2.3.0 started to work."}, {"WARN ", "warned 2"},
        {"ERROR", "failed: Grüße – 日本"},                {"FATAL", "fatal"},
        {"DEBUG", "debug detail"}};
    for (std::size_t i = 0; i < written.size(); ++i) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(written[i], match, layout)) << written[i];
        EXPECT_EQ(match[1].str(), expected[i].first);
        EXPECT_EQ(match[2].str(), expected[i].second);
    }
}

TEST(LoggingFacade, RollsOverAtOneMegabyteKeepingFiveBackups) {
    TempHome home;
    Logger& logger = Logger::shared();
    const fs::path log = configuredLog(logger);
    // Only the rolling file is under test here; shipping thousands of lines would try to post each.
    log4cplus::Logger::getRoot().removeAppender(LOG4CPLUS_TEXT("LogglyLog"));
    const std::string filler(1000, 'x');
    for (int i = 0; i < 8 * 1100; ++i) {
        logger.logInfo("%d %@", i, filler);
    }
    for (int backup = 1; backup <= 5; ++backup) {
        EXPECT_TRUE(fs::exists(log.string() + "." + std::to_string(backup))) << backup;
    }
    EXPECT_FALSE(fs::exists(log.string() + ".6"));
    EXPECT_LE(fs::file_size(log), 1024u * 1024u + 2048u);
    const auto lastLines = lines(readFile(log));
    ASSERT_FALSE(lastLines.empty());
    EXPECT_NE(lastLines.back().find(" - 8799 "), std::string::npos);
}

TEST(LoggingFacade, ContextValuesGoOntoTheConfiguringThreadOnly) {
    TempHome home;
    Logger& logger = Logger::shared();
    configuredLog(logger, "");  // an empty value still puts its key
    logger.setProcess("LateName");  // after configuration: reaches the stored values, not the context

    testing_support::LogCapture log;
    logger.logInfo("on the main thread");
    std::thread([&] { logger.logInfo("on a worker"); }).join();

    const auto contexts = log.contexts();
    ASSERT_EQ(contexts.size(), 2u);
    const log4cplus::MappedDiagnosticContextMap expected = {
        {"emulatorId", "HWID0001"}, {"installationId", "0123456789abcdef0123456789abcdef"},
        {"process", "Installer"}, {"version", ""}};
    EXPECT_EQ(contexts[0], expected);
    EXPECT_TRUE(contexts[1].empty());
    EXPECT_EQ(logger.impl().mdcParameters().at(Cpp::MdcParameter::process), "LateName");
}

TEST(LoggingFacade, NothingIsWrittenBeforeConfigurationAndNullTextsConvertToEmpty) {
    TempHome home;
    Logger::shared().logInfo("before configuration");
    EXPECT_FALSE(fs::exists(platform::paths::logsDirectory() / "installer.log"));
    EXPECT_EQ(Logger::converToCppString(static_cast<const char*>(nullptr)), "");
    const std::string withNul("a\0b", 3);
    EXPECT_EQ(Logger::converToCppString(withNul).size(), 3u);
}
