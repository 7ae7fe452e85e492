#include "BulkEndpoint.h"

#include "Logger/Logger.h"
#include "platform/Paths.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

// The installer's own logging set-up, built here with the log service at 127.0.0.1, ships its
// lines to the bulk endpoint beside the rolling file.
TEST(InstallerLogShipping, LinesReachTheBulkEndpointWithTheMainThreadContextOnly) {
    testing_support::TempHome home;
    BulkEndpoint endpoint;
    const auto logs = platform::paths::logsDirectory();
    std::filesystem::create_directories(logs);

    Logger& logger = Logger::shared();
    logger.setProcess("Installer");
    logger.setEulatorId("HWID0001");
    logger.setInstallationId("0123456789abcdef0123456789abcdef");
    logger.setVersion("1.0.0.0");
    logger.initLogger((logs / "installer.log").string());

    for (int i = 1; i <= 20; ++i) {
        logger.logInfo("main line %d", i);
    }
    ASSERT_TRUE(endpoint.waitForRequests(1));
    std::thread([&] {
        for (int i = 1; i <= 20; ++i) {
            logger.logError("worker line %d", i);
        }
    }).join();
    ASSERT_TRUE(endpoint.waitForRequests(2));

    const auto requests = endpoint.requests();
    EXPECT_EQ(requests[0].head.rfind("POST /bulk/7c1e94d2-3a58-4f07-b6e9-2d8a51c0f37b/tag/ravelune HTTP/1.1\r\n", 0), 0u);
    const auto mainLines = requests[0].lines();
    ASSERT_EQ(mainLines.size(), 20u);
    EXPECT_EQ(mainLines[0].rfind("{\"emulatorId\":\"HWID0001\", \"installationId\":\"0123456789abcdef0123456789abcdef\", "
                                 "\"process\":\"Installer\", \"version\":\"1.0.0.0\", \"timestamp\":\"", 0), 0u)
        << mainLines[0];
    EXPECT_NE(mainLines[19].find("\"message\":\"main line 20\"}\r\n"), std::string::npos);

    const auto workerLines = requests[1].lines();
    ASSERT_EQ(workerLines.size(), 20u);
    EXPECT_EQ(workerLines[0].rfind("{\"timestamp\":\"", 0), 0u) << workerLines[0];
    EXPECT_NE(workerLines[0].find("\"level\":\"ERROR\""), std::string::npos);

    const std::string file = testing_support::readFile(logs / "installer.log");
    EXPECT_NE(file.find("] - main line 20\n"), std::string::npos);
    EXPECT_NE(file.find("] - worker line 20\n"), std::string::npos);
}
