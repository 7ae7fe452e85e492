#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace Statistics {
class Client;
}

// The installer's one door to the statistics client: the run's installation id, and actions and
// machine descriptions turned into statistics events. One instance per process, never destroyed.
// Calls come from any thread and return at once, having taken the code, the bandwidth and the
// referrer of that moment; the facade's one worker thread then runs the probes, fills the one
// record, hands it to the client and logs the call's line (or, should the call fail, one error
// line), one call after another in call order. The machine's fixed facts are probed once, at
// their first use; load, free memory and disk space for every call. The worker alone owns the
// record and hands records to the client. flushBeforeExit drains it within its bound and closes
// the facade: once it returns, no call of the facade starts, probes or logs (a probe's child
// under way is ended; a probe that runs no child, a file read, cannot be cut short, and should
// one outlast the bound its call ends without sending or logging); later calls are dropped. A
// call that was handing its record to the client then may still be held there behind a post in
// flight: it finishes that hand-over and logs nothing. A process that exits without the final
// flush closes, before the logging library goes, every facade that has had a call. Nothing is
// reported back to the caller.
class StatisticsManager {
public:
    // Where the record's machine facts come from: by default the platform probes.
    struct Probes {
        using Text = std::function<std::string()>;
        Text hardwareId, macAddress, ipAddress, platformName, appVersion, virtualizationInfo;
        Text cpu, cpuUsage, osName, osArchitectureName, ramTotal, ramFree, hddFreeSpace, dotNetVersions,
            gpuModelName, haxmInfo, openGLVersion, openGLVendor, openGLRenderer, openGLExtensions;
        std::function<std::string(std::uint64_t)> bandwidth;

        static Probes platform();
    };

    // Created on first use, from any thread; never destroyed.
    static StatisticsManager& shared();

    // An instance of its own over the given client and probes (tests).
    StatisticsManager(std::shared_ptr<Statistics::Client> client, Probes probes);
    // Waits for the calls still queued, then closes the facade and stops the worker.
    ~StatisticsManager();
    StatisticsManager(const StatisticsManager&) = delete;
    StatisticsManager& operator=(const StatisticsManager&) = delete;

    // 32 upper-case hexadecimal digits, new in every run, never changed.
    std::string installId() const;
    std::string referrerUrl() const;
    void setReferrerUrl(const std::string& referrerUrl);

    // Code 0 sends nothing.
    void sendAction(std::int64_t code);
    // Bytes per second; 0 when none was measured.
    void sendSystemInfo(std::uint64_t bandwidth);

    // Has the client post what it holds, and the events of the calls queued or under way on
    // the worker as each of them ends; returns when all is posted, and after `bound` at the
    // latest whatever the probes or the network do (a post in flight included), a call still
    // under way then being dropped and its probe ended. Called once when the application ends;
    // the client's own threads may still be posting after it returns.
    void flushBeforeExit(std::chrono::milliseconds bound = std::chrono::seconds(3));

    static std::int32_t converStatisticsAction2AppStatistics(std::int64_t code);
    // The text without line-end characters (LF, VT, FF, CR, U+0085, U+2028, U+2029) at either
    // end; inside and spaces stay.
    static std::string converToCppString(std::string_view text);

private:
    StatisticsManager();
    struct Impl;
    std::unique_ptr<Impl> _impl;
};
