#pragma once

#include <log4cplus/appender.h>
#include <log4cplus/logger.h>
#include <log4cplus/loglevel.h>
#include <log4cplus/spi/loggingevent.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace testing_support {

// Collects the installer's log lines as "LEVEL message" while it lives (root logger, any thread).
class LogLines {
public:
    LogLines() : _appender(new Recorder) { log4cplus::Logger::getRoot().addAppender(_appender); }
    ~LogLines() { log4cplus::Logger::getRoot().removeAppender(_appender); }

    std::vector<std::string> lines() const { return static_cast<Recorder&>(*_appender).lines(); }
    bool contains(const std::string& line) const {
        const auto all = lines();
        return std::find(all.begin(), all.end(), line) != all.end();
    }
    // Lines that start with the given text.
    std::vector<std::string> startingWith(const std::string& prefix) const {
        std::vector<std::string> found;
        for (const auto& line : lines()) {
            if (line.starts_with(prefix)) {
                found.push_back(line);
            }
        }
        return found;
    }

private:
    class Recorder : public log4cplus::Appender {
    public:
        ~Recorder() override { destructorImpl(); }
        void close() override {}
        std::vector<std::string> lines() {
            std::lock_guard lock(_mutex);
            return _lines;
        }

    protected:
        void append(const log4cplus::spi::InternalLoggingEvent& event) override {
            std::lock_guard lock(_mutex);
            _lines.push_back(log4cplus::getLogLevelManager().toString(event.getLogLevel()) + " " + event.getMessage());
        }

    private:
        std::mutex _mutex;
        std::vector<std::string> _lines;
    };

    log4cplus::SharedAppenderPtr _appender;
};

}  // namespace testing_support
