#pragma once

#include "core/statistics/app_statistics.h"
#include "core/statistics/transport.h"

#include <cstdint>
#include <memory>
#include <string>

namespace Statistics::Orv {

std::string formatTime(const AppStatistics::TimePoint& time);
std::string playerStateToString(std::int32_t state);

// Events for the maker's statistics server: each goes to the site URL + "/" + event name.
class Client {
public:
    Client(const std::shared_ptr<Statistics::Transport>& transport, const std::string& siteUrl);

    void sendAction(const AppStatistics& statistics);
    void sendActivity(const AppStatistics& statistics);
    void sendSystemInfo(const AppStatistics& statistics);
    void sendException(const AppStatistics& statistics);

    const std::shared_ptr<Statistics::Transport>& transport() const { return _transport; }

private:
    void send(const std::string& url, const std::string& body);
    std::string eventUrl(const char* eventName) const;

    std::shared_ptr<Statistics::Transport> _transport;
    std::string _siteUrl;
};

} // namespace Statistics::Orv
