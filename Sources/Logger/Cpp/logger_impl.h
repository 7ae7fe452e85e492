#pragma once

#include "Logger/Cpp/mdc_parameter.h"

#include <map>
#include <string>

namespace Cpp {

// The logger behind the facade: configures log4cplus once from the built-in properties text,
// puts the run's identity values into the calling thread's context and logs through one
// named log4cplus logger.
class LoggerImpl {
public:
    void setProcess(const std::string& value);
    void setEmulatorId(const std::string& value);
    void setInstallationId(const std::string& value);
    void setVersion(const std::string& value);
    void setLoggerName(const std::string& name);

    // Applies the configuration for the given log file and puts the context values onto the
    // calling thread. Values set afterwards do not reach the context.
    void configure(const std::string& logFilePath);
    // The built-in properties text for the given log file path.
    std::string buildProperties(const std::string& logFilePath) const;

    void logDebug(const std::string& message);
    void logInfo(const std::string& message);
    void logWarn(const std::string& message);
    void logError(const std::string& message);
    void logFatal(const std::string& message);

    const std::map<MdcParameter, std::string>& mdcParameters() const { return _mdcParameters; }
    const std::string& loggerName() const { return _loggerName; }

private:
    void log(int level, const std::string& message, int line, const char* function);

    std::map<MdcParameter, std::string> _mdcParameters;
    std::string _loggerName;
};

}  // namespace Cpp
