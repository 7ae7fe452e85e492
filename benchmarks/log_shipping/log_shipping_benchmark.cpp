#include "BulkEndpoint.h"

#include "Logger/Logger.h"
#include "platform/Paths.h"
#include "support/temp_home.h"

#include <log4cplus/logger.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

namespace {

double linesPerSecond(Logger& logger, int lines) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < lines; ++i) {
        logger.logInfo("Benchmark line %d of the installer log, with some text of a usual length.", i);
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return lines / took.count();
}

}  // namespace

int main() {
    constexpr int lines = 20000;
    testing_support::TempHome home;
    BulkEndpoint endpoint;  // port 80 on loopback
    const auto logs = platform::paths::logsDirectory();
    std::filesystem::create_directories(logs);

    Logger& logger = Logger::shared();
    logger.setProcess("Installer");
    logger.setEulatorId("BENCHMARK");
    logger.setInstallationId("0123456789abcdef0123456789abcdef");
    logger.setVersion("1.0.0.0");
    logger.initLogger((logs / "installer.log").string());

    log4cplus::Logger root = log4cplus::Logger::getRoot();
    log4cplus::SharedAppenderPtr remote = root.getAppender(LOG4CPLUS_TEXT("LogglyLog"));
    if (!remote) {
        std::fprintf(stderr, "the remote appender was not configured\n");
        return 1;
    }

    root.removeAppender(remote);
    const double fileOnly = linesPerSecond(logger, lines);
    root.addAppender(remote);
    const double withShipping = linesPerSecond(logger, lines);
    endpoint.waitForRequests(lines / 20, std::chrono::seconds(30));

    std::printf("lines logged per run:               %d\n", lines);
    std::printf("rolling file only:                  %.0f lines/s\n", fileOnly);
    std::printf("rolling file + remote appender:     %.0f lines/s\n", withShipping);
    std::printf("cost of shipping (file-only/both):  %.2fx\n", fileOnly / withShipping);
    std::printf("requests received by the endpoint:  %zu\n", endpoint.requests().size());
    return 0;
}
