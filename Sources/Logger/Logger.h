#pragma once

#include "Logger/Cpp/logger_impl.h"
#include "platform/Format.h"

#include <string>
#include <string_view>

// The process-wide logging facade. Every entry point takes a format in the platform's
// convention ("%@" inserts a description) and hands the UTF-8 text to the inner logger.
class Logger {
public:
    static Logger& shared();

    void setProcess(const std::string& process);
    void setEulatorId(const std::string& emulatorId);
    void setInstallationId(const std::string& installationId);
    void setVersion(const std::string& version);
    void initLogger(const std::string& logFilePath);

    template <typename... Args>
    void logInfo(std::string_view format, const Args&... args) {
        wrapped.logInfo(converToCppString(platform::format(format, args...)));
    }
    template <typename... Args>
    void logWarn(std::string_view format, const Args&... args) {
        wrapped.logWarn(converToCppString(platform::format(format, args...)));
    }
    template <typename... Args>
    void logError(std::string_view format, const Args&... args) {
        wrapped.logError(converToCppString(platform::format(format, args...)));
    }
    template <typename... Args>
    void logFatal(std::string_view format, const Args&... args) {
        wrapped.logFatal(converToCppString(platform::format(format, args...)));
    }
    template <typename... Args>
    void logDebug(std::string_view format, const Args&... args) {
        wrapped.logDebug(converToCppString(platform::format(format, args...)));
    }

    // The text's UTF-8 bytes, embedded NULs included; a null text gives the empty string.
    static std::string converToCppString(const std::string& text) { return text; }
    static std::string converToCppString(const char* text) { return text != nullptr ? std::string(text) : std::string(); }

    const Cpp::LoggerImpl& impl() const { return wrapped; }

private:
    Logger();
    Cpp::LoggerImpl wrapped;
};
