#pragma once

#include <log4cplus/appender.h>
#include <log4cplus/logger.h>
#include <log4cplus/loglevel.h>
#include <log4cplus/spi/loggingevent.h>

#include <algorithm>
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
    // The same as "LEVEL message", for example "WARN Removed file x.".
    std::vector<std::string> lines() {
        std::lock_guard lock(_appender->mutex);
        return _appender->lines;
    }
    bool contains(const std::string& line) {
        const auto all = lines();
        return std::find(all.begin(), all.end(), line) != all.end();
    }
    std::vector<std::string> startingWith(const std::string& prefix) {
        std::vector<std::string> found;
        for (const auto& line : lines()) {
            if (line.starts_with(prefix)) {
                found.push_back(line);
            }
        }
        return found;
    }

private:
    struct Recorder : log4cplus::Appender {
        ~Recorder() override { destructorImpl(); }
        void close() override {}
        void append(const log4cplus::spi::InternalLoggingEvent& event) override {
            std::lock_guard lock(mutex);
            messages.push_back(event.getMessage());
            lines.push_back(log4cplus::getLogLevelManager().toString(event.getLogLevel()) + " " + event.getMessage());
        }
        std::mutex mutex;
        std::vector<std::string> messages;
        std::vector<std::string> lines;
    };

    static log4cplus::Logger logger() { return log4cplus::Logger::getInstance("osx.instller"); }

    Recorder* _appender;
};
