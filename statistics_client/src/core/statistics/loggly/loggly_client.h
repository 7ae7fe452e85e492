#pragma once

#include "core/statistics/app_statistics.h"
#include "core/statistics/transport.h"

#include <cstdint>
#include <memory>
#include <string>

namespace Statistics::Loggly {

std::string formatTime(const AppStatistics::TimePoint& time);
std::string playerStateToString(std::int32_t state);

// Events for the remote log service's bulk endpoint. The site URL ends in ".../tag/"; each
// event goes to it followed by "ravelune,<event source>,<event kind>".
class Client {
public:
    Client(const std::shared_ptr<Statistics::Transport>& transport, const std::string& siteUrl);

    void sendStatus(const AppStatistics& statistics);
    void sendActivity(const AppStatistics& statistics);
    void sendSystemInfo(const AppStatistics& statistics);

    void send(const std::string& url, const std::string& body);

    const std::shared_ptr<Statistics::Transport>& transport() const { return _transport; }

private:
    std::string eventUrl(const AppStatistics& statistics, const char* eventKind) const;

    std::shared_ptr<Statistics::Transport> _transport;
    std::string _siteUrl;
};

} // namespace Statistics::Loggly
