#pragma once

#include <log4cplus/appender.h>
#include <log4cplus/logger.h>
#include <log4cplus/loglevel.h>
#include <log4cplus/mdc.h>
#include <log4cplus/spi/loggingevent.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace testing_support {

// Collects the messages the installer logs, every level included, for its lifetime.
class LogCapture {
public:
    LogCapture() : _logger(log4cplus::Logger::getInstance("osx.instller")), _level(_logger.getLogLevel()) {
        _logger.setLogLevel(log4cplus::ALL_LOG_LEVEL);
        _logger.addAppender(_appender);
    }
    ~LogCapture() {
        _logger.removeAppender(_appender);
        _logger.setLogLevel(_level);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> messages() const { return recorder().messages(); }
    // The context map each message carried.
    std::vector<log4cplus::MappedDiagnosticContextMap> contexts() const { return recorder().contexts(); }
    bool contains(const std::string& message) const {
        const auto all = messages();
        return std::find(all.begin(), all.end(), message) != all.end();
    }
    // The messages as "LEVEL message", for example "WARN Removed file x.".
    std::vector<std::string> lines() const { return recorder().lines(); }
    bool containsLine(const std::string& line) const {
        const auto all = lines();
        return std::find(all.begin(), all.end(), line) != all.end();
    }
    std::vector<std::string> linesStartingWith(const std::string& prefix) const {
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
        std::vector<std::string> messages() {
            std::lock_guard lock(_mutex);
            return _messages;
        }
        std::vector<log4cplus::MappedDiagnosticContextMap> contexts() {
            std::lock_guard lock(_mutex);
            return _contexts;
        }
        std::vector<std::string> lines() {
            std::lock_guard lock(_mutex);
            return _lines;
        }

    protected:
        void append(const log4cplus::spi::InternalLoggingEvent& event) override {
            std::lock_guard lock(_mutex);
            _messages.push_back(event.getMessage());
            _contexts.push_back(event.getMDCCopy());
            _lines.push_back(log4cplus::getLogLevelManager().toString(event.getLogLevel()) + " " + event.getMessage());
        }

    private:
        std::mutex _mutex;
        std::vector<std::string> _messages;
        std::vector<log4cplus::MappedDiagnosticContextMap> _contexts;
        std::vector<std::string> _lines;
    };

    Recorder& recorder() const { return static_cast<Recorder&>(*_appender); }

    log4cplus::Logger _logger;
    log4cplus::LogLevel _level;
    log4cplus::SharedAppenderPtr _appender{new Recorder};
};

}  // namespace testing_support
