#include "Logger/Logger.h"
#include "PlatformInfo.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/RunLoop.h"

#include <filesystem>
#include <system_error>

namespace {

// Sets up the rolling log in the logs folder; without that folder the run writes no log.
void setUpInstallerLogging(const std::string& version) {
    const std::filesystem::path logs = platform::paths::logsDirectory();
    std::error_code error;
    std::filesystem::create_directories(logs, error);
    if (error) {
        platform::nsLog("Cannot set stderr to \"%@\": error - %@", logs, error.message());
        return;
    }
    Logger& logger = Logger::shared();
    logger.setProcess("Installer");
    logger.setVersion(version);
    logger.initLogger((logs / "installer.log").string());
}

}  // namespace

int main(int argc, char** argv) {
    platform::RunLoop::initialize(argc, argv);
    const std::string version = PlatformInfo::appVersion();
    setUpInstallerLogging(version);
    Logger::shared().logInfo("Installer %@ started to work.", version);
    return 0;
}
