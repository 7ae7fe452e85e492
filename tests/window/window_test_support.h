#pragma once

#include "Logger/Logger.h"
#include "platform/Paths.h"
#include "support/temp_home.h"

#include <log4cplus/logger.h>

#include <filesystem>
#include <string>

namespace window_testing {

// Points the home folder at a fresh one for the whole program and writes the log into it;
// nothing is shipped anywhere.
inline void useTemporaryHomeAndLog() {
    static testing_support::TempHome* home = new testing_support::TempHome();
    (void)home;
    std::filesystem::create_directories(platform::paths::logsDirectory());
    Logger::shared().initLogger((platform::paths::logsDirectory() / "installer.log").string());
    log4cplus::Logger::getRoot().removeAppender(LOG4CPLUS_TEXT("LogglyLog"));
}

inline std::string installerLog() {
    return testing_support::readFile(platform::paths::logsDirectory() / "installer.log");
}

}  // namespace window_testing
