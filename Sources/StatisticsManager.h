#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// The installer's one door to the statistics client: the run's installation id, and actions and
// machine descriptions turned into statistics events. One instance per process, never destroyed.
// Calls may come from any thread; two calls never fill the record or use the client at once.
class StatisticsManager {
public:
    static StatisticsManager& shared();

    std::string installId() const;
    std::string referrerUrl() const;
    void setReferrerUrl(const std::string& referrerUrl);

    // Code 0 sends nothing.
    void sendAction(std::int64_t code);
    // Bytes per second; 0 when none was measured.
    void sendSystemInfo(std::uint64_t bandwidth);

    // Posts what is still queued, waiting at most `bound` in all; called once when the application ends.
    void flushBeforeExit(std::chrono::milliseconds bound = std::chrono::seconds(3));

    static std::int32_t converStatisticsAction2AppStatistics(std::int64_t code);

private:
    StatisticsManager();
    struct Impl;
    Impl* _impl;
};
