#include "BulkEndpoint.h"
#include "DiagnosticCapture.h"

#include "Logger/Logger.h"
#include "platform/Paths.h"
#include "support/temp_home.h"

#include <log4cplus/logger.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

namespace {

using Seconds = std::chrono::duration<double>;

// The logging thread's time for `count` lines through the installer's logging facade.
Seconds logLines(Logger& logger, int count) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        logger.logInfo("Benchmark line %d of the installer log, with some text of a usual length.", i);
    }
    return std::chrono::steady_clock::now() - start;
}

std::size_t linesDelivered(const BulkEndpoint& endpoint) {
    std::size_t lines = 0;
    for (const auto& request : endpoint.requests()) {
        lines += request.lines().size();
    }
    return lines;
}

// More lines than the service takes: 1000 lines a second for three seconds to an endpoint
// whose every answer takes about 0.05 s, then the appender closes. Prints how many lines never
// reached the endpoint and how many the appender reported dropped; the two must agree.
void overload(Logger& logger, BulkEndpoint& endpoint, const log4cplus::SharedAppenderPtr& remote) {
    constexpr int lines = 3000;
    endpoint.setAnswer("HTTP/1.1 204 No Content\r\n\r\n");
    endpoint.setReplyPace(std::chrono::milliseconds(2));
    const std::size_t before = endpoint.requests().size();
    DiagnosticCapture diagnostics;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < lines; ++i) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(i));
        logger.logInfo("Overload line %d.", i);
    }
    remote->close();
    std::set<std::string> arrived;
    const auto requests = endpoint.requests();
    for (auto request = requests.begin() + static_cast<std::ptrdiff_t>(before); request != requests.end(); ++request) {
        for (const std::string& line : request->lines()) {
            if (const std::size_t at = line.find("Overload line "); at != std::string::npos) {
                arrived.insert(line.substr(at, line.find('.', at) - at));
            }
        }
    }
    std::printf("overload, 1000 lines/s for 3 s, answers in 0.05 s: %zu of %d lines never arrived, %d reported dropped\n",
                lines - arrived.size(), lines, diagnostics.count("LogglyAppender::append() - Exceed message buffer size"));
}

}  // namespace

int main() {
    // A round fits in the appender's queue (1000 lines) and is a whole number of requests (20
    // lines each); the next round starts once the endpoint has all of it, so no line is dropped
    // and the figure is the cost of shipping every line. Rounds with and without the remote
    // appender alternate, so that a passing load on the machine weighs on both alike.
    constexpr int roundLines = 500;
    constexpr int rounds = 100;
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

    Seconds fileOnly{0};
    Seconds withShipping{0};
    int shipped = 0;
    int timedRounds = 0;
    for (int round = 0; round <= rounds; ++round) {
        // Round 0 warms up both roads and is not counted.
        root.removeAppender(remote);
        const Seconds file = logLines(logger, roundLines);
        root.addAppender(remote);
        const Seconds both = logLines(logger, roundLines);
        shipped += roundLines;
        const bool delivered =
            endpoint.waitForRequests(static_cast<std::size_t>(shipped) / 20, std::chrono::seconds(30));
        if (round > 0) {
            fileOnly += file;
            withShipping += both;
            ++timedRounds;
        }
        if (!delivered) {
            break;  // the last line says how many are missing
        }
    }

    // A periodic post may have sent a part of a batch on its own, so requests are not lines.
    std::size_t delivered = linesDelivered(endpoint);
    while (delivered < static_cast<std::size_t>(shipped) &&
           endpoint.waitForRequests(endpoint.requests().size() + 1, std::chrono::seconds(10))) {
        delivered = linesDelivered(endpoint);
    }

    const int timed = timedRounds * roundLines;
    std::printf("lines timed per road:               %d (in rounds of %d)\n", timed, roundLines);
    std::printf("rolling file only:                  %.0f lines/s\n", timed / fileOnly.count());
    std::printf("rolling file + remote appender:     %.0f lines/s\n", timed / withShipping.count());
    std::printf("log shipping cost: %.2fx file-only; %zu of %d lines delivered\n",
                withShipping.count() / fileOnly.count(), delivered, shipped);
    overload(logger, endpoint, remote);
    return 0;
}
