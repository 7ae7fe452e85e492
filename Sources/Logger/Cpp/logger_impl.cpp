#include "Logger/Cpp/logger_impl.h"

#include "log_shipping/LogglyAppenderFactory.h"

#include <log4cplus/configurator.h>
#include <log4cplus/initializer.h>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>
#include <log4cplus/loglevel.h>
#include <log4cplus/mdc.h>

#include <sstream>

#ifndef RAVELUNE_LOG_SERVER
#define RAVELUNE_LOG_SERVER "logs-01.ravelune-logging.example"
#endif
#ifndef RAVELUNE_LOG_TOKEN
#define RAVELUNE_LOG_TOKEN "7c1e94d2-3a58-4f07-b6e9-2d8a51c0f37b"
#endif

namespace Cpp {

namespace {

// One line of the properties text: the key padded to 53 columns, "= ", the value, CR LF.
std::string propertyLine(const std::string& key, const std::string& value) {
    std::string line = key;
    if (line.size() < 53) {
        line.append(53 - line.size(), ' ');
    }
    return line + "= " + value + "\r\n";
}

}  // namespace

void LoggerImpl::setProcess(const std::string& value) { _mdcParameters[MdcParameter::process] = value; }
void LoggerImpl::setEmulatorId(const std::string& value) { _mdcParameters[MdcParameter::emulatorId] = value; }
void LoggerImpl::setInstallationId(const std::string& value) { _mdcParameters[MdcParameter::installationId] = value; }
void LoggerImpl::setVersion(const std::string& value) { _mdcParameters[MdcParameter::version] = value; }
void LoggerImpl::setLoggerName(const std::string& name) { _loggerName = name; }

std::string LoggerImpl::buildProperties(const std::string& logFilePath) const {
    std::string text;
    text += propertyLine("log4cplus.rootLogger", "DEBUG, RLogFile, LogglyLog");
    text += propertyLine("log4cplus.additivity", "true");
    text += propertyLine("log4cplus.appender.RLogFile", "log4cplus::RollingFileAppender");
    text += propertyLine("log4cplus.appender.RLogFile.MaxFileSize", "1MB");
    text += propertyLine("log4cplus.appender.RLogFile.MaxBackupIndex", "5");
    text += propertyLine("log4cplus.appender.RLogFile.ImmediateFlush", "true");
    text += propertyLine("log4cplus.appender.RLogFile.layout", "log4cplus::PatternLayout");
    text += propertyLine("log4cplus.appender.RLogFile.layout.ConversionPattern",
                         "%-5p [%D{%Y-%m-%d %H:%M:%S.%q}][%t][%c] - %m%n");
    text += propertyLine("log4cplus.appender.LogglyLog", "log4cplus::LogglyAppender");
    text += propertyLine("log4cplus.appender.LogglyLog.logServer", RAVELUNE_LOG_SERVER);
    text += propertyLine("log4cplus.appender.LogglyLog.token", RAVELUNE_LOG_TOKEN);
    text += "log4cplus.appender.RLogFile.File = " + logFilePath;
    return text;
}

void LoggerImpl::configure(const std::string& logFilePath) {
    // Lives until exit; its destruction shuts the library down and closes every appender.
    static log4cplus::Initializer initializer;
    log4cplus::registerLogglyAppenderFactory();

    std::istringstream properties(buildProperties(logFilePath));
    log4cplus::PropertyConfigurator configurator(properties, log4cplus::Logger::getDefaultHierarchy(), 0);
    configurator.configure();

    log4cplus::MDC& mdc = log4cplus::getMDC();
    for (const auto& [parameter, value] : _mdcParameters) {
        mdc.put(mdcParameterNames.at(parameter), value);
    }
}

void LoggerImpl::log(int level, const std::string& message, int line, const char* function) {
    const log4cplus::Logger logger = log4cplus::Logger::getInstance(_loggerName);
    if (!logger.isEnabledFor(level)) {
        return;
    }
    log4cplus::tostringstream& stream = log4cplus::detail::get_macro_body_oss();
    stream << message;
    log4cplus::detail::macro_forced_log(logger, level, stream.str(), __FILE__, line, function);
}

// Debug lines are forwarded too: they are what a reader of a failed install's log needs most.
void LoggerImpl::logDebug(const std::string& message) { log(log4cplus::DEBUG_LOG_LEVEL, message, __LINE__, LOG4CPLUS_MACRO_FUNCTION()); }
void LoggerImpl::logInfo(const std::string& message) { log(log4cplus::INFO_LOG_LEVEL, message, __LINE__, LOG4CPLUS_MACRO_FUNCTION()); }
void LoggerImpl::logWarn(const std::string& message) { log(log4cplus::WARN_LOG_LEVEL, message, __LINE__, LOG4CPLUS_MACRO_FUNCTION()); }
void LoggerImpl::logError(const std::string& message) { log(log4cplus::ERROR_LOG_LEVEL, message, __LINE__, LOG4CPLUS_MACRO_FUNCTION()); }
void LoggerImpl::logFatal(const std::string& message) { log(log4cplus::FATAL_LOG_LEVEL, message, __LINE__, LOG4CPLUS_MACRO_FUNCTION()); }

}  // namespace Cpp
