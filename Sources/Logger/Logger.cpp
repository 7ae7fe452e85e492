#include "Logger/Logger.h"

Logger& Logger::shared() {
    // Never destroyed: workers may still log while the process exits.
    static Logger* instance = new Logger;
    return *instance;
}

Logger::Logger() {
    wrapped.setLoggerName("osx.instller");
}

void Logger::setProcess(const std::string& process) { wrapped.setProcess(converToCppString(process)); }
void Logger::setEulatorId(const std::string& emulatorId) { wrapped.setEmulatorId(converToCppString(emulatorId)); }
void Logger::setInstallationId(const std::string& installationId) { wrapped.setInstallationId(converToCppString(installationId)); }
void Logger::setVersion(const std::string& version) { wrapped.setVersion(converToCppString(version)); }
void Logger::initLogger(const std::string& logFilePath) { wrapped.configure(converToCppString(logFilePath)); }
