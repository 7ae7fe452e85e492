#pragma once

namespace log4cplus {

// Puts the factory of log4cplus::LogglyAppender into the library's appender factory registry
// under "log4cplus::LogglyAppender", so that a configuration can name that type. Call after a
// log4cplus::Initializer exists and before a configuration is applied; later calls do nothing.
void registerLogglyAppenderFactory();

}  // namespace log4cplus
