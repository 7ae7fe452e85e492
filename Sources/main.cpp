#include "AppDelegate.h"
#include "CreateGuidFiles.h"
#include "Logger/Logger.h"
#include "MainViewController.h"
#include "PlatformInfo.h"
#include "StatisticsManager.h"
#include "platform/Application.h"
#include "platform/Error.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/RunLoop.h"
#include "platform/Uuid.h"

#include <filesystem>
#include <string>
#include <system_error>

namespace {

// The hardware id of this run. Where the machine gives none and no "hwid.dat" holds one, a new
// random id (32 upper-case hexadecimal digits) stands in; "hwid.dat" then keeps it for later runs.
const std::string& hardwareId() {
    static const std::string id = [] {
        std::string found = PlatformInfo::hardwareId();
        if (!found.empty()) {
            return found;
        }
        std::string made = platform::newUuidText();
        std::erase(made, '-');
        return made;
    }();
    return id;
}

// Sets up the rolling log in the logs folder; without that folder the run writes no log.
void setUpInstallerLogging() {
    const std::filesystem::path logs = platform::paths::logsDirectory();
    std::error_code error;
    std::filesystem::create_directories(logs, error);
    if (error) {
        platform::nsLog("Cannot set stderr to \"%@\": error - %@", logs, platform::Error::posix(error.value()));
        return;
    }
    Logger& logger = Logger::shared();
    logger.setProcess("Installer");
    logger.setEulatorId(hardwareId());
    // The first use of the statistics facade creates it, and the statistics client with it.
    logger.setInstallationId(StatisticsManager::shared().installId());
    logger.setVersion(PlatformInfo::appVersion());
    logger.initLogger((logs / "installer.log").string());
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread starts: it may change the environment, which no thread may read meanwhile.
    platform::Application::chooseOffscreenWithoutDisplay();
    setUpInstallerLogging();
    Logger::shared().logDebug("\n\n%@", std::string(106, '-'));
    CreateGuidFiles::createInstallIdFile(StatisticsManager::shared().installId());
    CreateGuidFiles::createHwIdFile(hardwareId());
    const std::string version = PlatformInfo::appVersion();
    Logger::shared().logDebug(
        "Installer logger initialized with:\n\t process \t- %@\n\t emulatorId \t- %@\n\t installId \t- %@\n\t version "
        "\t- %@\n\t log file \t- %@",
        "Installer", hardwareId(), StatisticsManager::shared().installId(), version,
        platform::paths::logsDirectory() / "installer.log");
    Logger::shared().logInfo("Installer %@ started to work.", version);

    // The application: one window, one run loop, one ending.
    platform::RunLoop::initialize(argc, argv, platform::RunLoop::Kind::Windows);
    platform::Application::setWillTerminateHandler([] { AppDelegate::shared().applicationWillTerminate(); });
    platform::Application::terminateOnSignals();
    AppDelegate::shared().applicationDidFinishLaunching();
    const auto window = MainViewController::create();
    return platform::RunLoop::run();
}
