#pragma once

#include <log4cplus/appender.h>
#include <log4cplus/logger.h>
#include <log4cplus/spi/loggingevent.h>

#include <mutex>
#include <string>
#include <vector>

// Collects the messages logged through the installer's logger while it lives.
class LogLines {
public:
    LogLines() : _appender(new Recorder) { logger().addAppender(log4cplus::SharedAppenderPtr(_appender)); }
    ~LogLines() { logger().removeAppender(log4cplus::SharedAppenderPtr(_appender)); }

    std::vector<std::string> messages() {
        std::lock_guard lock(_appender->mutex);
        return _appender->messages;
    }

private:
    struct Recorder : log4cplus::Appender {
        ~Recorder() override { destructorImpl(); }
        void close() override {}
        void append(const log4cplus::spi::InternalLoggingEvent& event) override {
            std::lock_guard lock(mutex);
            messages.push_back(event.getMessage());
        }
        std::mutex mutex;
        std::vector<std::string> messages;
    };

    static log4cplus::Logger logger() { return log4cplus::Logger::getInstance("osx.instller"); }

    Recorder* _appender;
};
