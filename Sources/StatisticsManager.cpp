// Placeholder until the facade lands: keeps the callers linkable, sends nothing.
#include "StatisticsManager.h"

struct StatisticsManager::Impl {
    std::string referrerUrl;
};

StatisticsManager::StatisticsManager() : _impl(new Impl) {}

StatisticsManager& StatisticsManager::shared() {
    static StatisticsManager* instance = new StatisticsManager();
    return *instance;
}

std::string StatisticsManager::installId() const { return "00000000000000000000000000000000"; }
std::string StatisticsManager::referrerUrl() const { return _impl->referrerUrl; }
void StatisticsManager::setReferrerUrl(const std::string& referrerUrl) { _impl->referrerUrl = referrerUrl; }
void StatisticsManager::sendAction(std::int64_t) {}
void StatisticsManager::sendSystemInfo(std::uint64_t) {}
void StatisticsManager::flushBeforeExit(std::chrono::milliseconds) {}
std::int32_t StatisticsManager::converStatisticsAction2AppStatistics(std::int64_t) { return 0; }
