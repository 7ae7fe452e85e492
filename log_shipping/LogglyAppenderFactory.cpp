#include "log_shipping/LogglyAppenderFactory.h"

#include "log_shipping/LogglyAppender.h"

#include <log4cplus/spi/factory.h>

#include <memory>
#include <mutex>

namespace log4cplus {

void registerLogglyAppenderFactory() {
    static std::once_flag registered;
    std::call_once(registered, [] {
        spi::getAppenderFactoryRegistry().put(std::unique_ptr<spi::AppenderFactory>(
            new spi::FactoryTempl<LogglyAppender, spi::AppenderFactory>(LOG4CPLUS_TEXT("log4cplus::LogglyAppender"))));
    });
}

}  // namespace log4cplus
