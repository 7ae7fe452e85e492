#include "StatisticsManager.h"

#include "Logger/Logger.h"
#include "PlatformInfo.h"
#include "core/statistics/client.h"
#include "platform/Uuid.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

constexpr const char* emulatorType = "vbox";
constexpr const char* eventSource = "Dovarirovev";

// The platform's newline set, as UTF-8.
constexpr std::string_view lineEnds[] = {"\n", "\v", "\f", "\r", "\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9"};

// One text field of the record and the value a call writes into it.
struct Fill {
    std::string AppStatistics::*field;
    std::string value;
};

std::string ask(const StatisticsManager::Probes::Text& probe) {
    return probe ? StatisticsManager::converToCppString(probe()) : std::string();
}

bool lacksNot(const std::string& virtualizationInfo) { return virtualizationInfo.find("NOT") == std::string::npos; }

}  // namespace

struct StatisticsManager::Impl {
    Impl(std::shared_ptr<Statistics::Client> client, Probes probes)
        : probes(std::move(probes)), instId(removingDashes(platform::newUuidText())), wrapped(std::move(client)) {}

    static std::string removingDashes(std::string text) {
        text.erase(std::remove(text.begin(), text.end(), '-'), text.end());
        return text;
    }

    // The fields both calls fill first, in this order.
    std::vector<Fill> identityFills() const {
        return {
        {&AppStatistics::hardwareId, ask(probes.hardwareId)},
        {&AppStatistics::installationId, converToCppString(instId)},
        {&AppStatistics::localMacAddress, ask(probes.macAddress)},
        {&AppStatistics::localIpAddress, ask(probes.ipAddress)},
        };
    }

    // Fills the record and hands it to the client with the one lock held throughout.
    template <typename Send>
    void fillAndSend(const std::vector<Fill>& fills, bool cpuVirtualization, Send send) {
        std::lock_guard lock(mutex);
        for (const Fill& fill : fills) {
            appInfo.*fill.field = fill.value;
        }
        appInfo.cpuVirtualization = cpuVirtualization;
        appInfo.emulatorType = emulatorType;
        appInfo.eventSource = eventSource;
        send(appInfo);
    }

    const Probes probes;
    const std::string instId;
    const std::shared_ptr<Statistics::Client> wrapped;
    // Guards the record, the referrer and every use of the client but the final flush.
    mutable std::mutex mutex;
    AppStatistics appInfo;
    std::string referrerUrl;
};

StatisticsManager::Probes StatisticsManager::Probes::platform() {
    Probes probes;
    probes.hardwareId = PlatformInfo::hardwareId;
    probes.macAddress = PlatformInfo::macAddress;
    probes.ipAddress = PlatformInfo::ipAddress;
    probes.platformName = PlatformInfo::platformName;
    probes.appVersion = PlatformInfo::appVersion;
    probes.virtualizationInfo = PlatformInfo::virtualizationInfo;
    probes.cpu = PlatformInfo::cpu;
    probes.cpuUsage = PlatformInfo::cpuUsage;
    probes.osName = PlatformInfo::osName;
    probes.osArchitectureName = PlatformInfo::osArchitectureName;
    probes.ramTotal = PlatformInfo::ramTotal;
    probes.ramFree = PlatformInfo::ramFree;
    probes.hddFreeSpace = PlatformInfo::hddFreeSpace;
    probes.dotNetVersions = PlatformInfo::dotNetVersions;
    probes.gpuModelName = PlatformInfo::gpuModelName;
    probes.haxmInfo = PlatformInfo::haxmInfo;
    probes.openGLVersion = PlatformInfo::openGLVersion;
    probes.openGLVendor = PlatformInfo::openGLVendor;
    probes.openGLRenderer = PlatformInfo::openGLRenderer;
    probes.openGLExtensions = PlatformInfo::openGLExtensions;
    probes.bandwidth = PlatformInfo::bandwidth;
    return probes;
}

StatisticsManager::StatisticsManager() : StatisticsManager(Statistics::makeClient(true), Probes::platform()) {}

StatisticsManager::StatisticsManager(std::shared_ptr<Statistics::Client> client, Probes probes)
    : _impl(std::make_unique<Impl>(std::move(client), std::move(probes))) {}

StatisticsManager::~StatisticsManager() = default;

StatisticsManager& StatisticsManager::shared() {
    // Leaked on purpose: workers may still call it while the process ends.
    static StatisticsManager* instance = new StatisticsManager();
    return *instance;
}

std::string StatisticsManager::installId() const { return _impl->instId; }

std::string StatisticsManager::referrerUrl() const {
    std::lock_guard lock(_impl->mutex);
    return _impl->referrerUrl;
}

void StatisticsManager::setReferrerUrl(const std::string& referrerUrl) {
    std::lock_guard lock(_impl->mutex);
    _impl->referrerUrl = referrerUrl;
}

void StatisticsManager::sendAction(std::int64_t code) {
    if (code == 0) {
        return;
    }
    Impl& d = *_impl;
    const bool cpuVirtualization = lacksNot(ask(d.probes.virtualizationInfo));
    std::vector<Fill> fills = d.identityFills();
    fills.insert(fills.end(), {
        {&AppStatistics::localOsName, ask(d.probes.platformName)},
        {&AppStatistics::version, ask(d.probes.appVersion)},
    });
    d.fillAndSend(fills, cpuVirtualization, [&](AppStatistics& record) {
        record.bundleSourceUrl = converToCppString(d.referrerUrl);
        record.eventStatus = converStatisticsAction2AppStatistics(code);
        d.wrapped->sendAction(record);
    });
    Logger::shared().logInfo("Action statistics with event status %d has been sent.", code);
}

void StatisticsManager::sendSystemInfo(std::uint64_t bandwidth) {
    Impl& d = *_impl;
    const bool cpuVirtualization = lacksNot(ask(d.probes.virtualizationInfo));
    std::vector<Fill> fills = d.identityFills();
    fills.insert(fills.end(), {
        {&AppStatistics::version, ask(d.probes.appVersion)},
        {&AppStatistics::cpu, ask(d.probes.cpu)},
        {&AppStatistics::cpuUsage, ask(d.probes.cpuUsage)},
        {&AppStatistics::localOsName, ask(d.probes.osName)},
        {&AppStatistics::osArchitecture, ask(d.probes.osArchitectureName)},
        {&AppStatistics::ram, ask(d.probes.ramTotal)},
        {&AppStatistics::ramFree, ask(d.probes.ramFree)},
        {&AppStatistics::hddFreeSpace, ask(d.probes.hddFreeSpace)},
        {&AppStatistics::dotNetVersions, ask(d.probes.dotNetVersions)},
        {&AppStatistics::gpu, ask(d.probes.gpuModelName)},
        {&AppStatistics::haxm, ask(d.probes.haxmInfo)},
        {&AppStatistics::bandwidth, d.probes.bandwidth ? converToCppString(d.probes.bandwidth(bandwidth)) : ""},
        {&AppStatistics::openGLVersion, ask(d.probes.openGLVersion)},
        {&AppStatistics::openGLVendor, ask(d.probes.openGLVendor)},
        {&AppStatistics::openGLRenderer, ask(d.probes.openGLRenderer)},
        {&AppStatistics::openGLExtensions, ask(d.probes.openGLExtensions)},
    });
    d.fillAndSend(fills, cpuVirtualization, [&](AppStatistics& record) { d.wrapped->sendSystemInfo(record); });
    Logger::shared().logInfo("SysInfo statistics with bandwidth %d has been sent.", bandwidth);
}

void StatisticsManager::flushBeforeExit(std::chrono::milliseconds bound) {
    // The client is set once at construction, so no lock is needed to reach it, and none is
    // taken: a call under way on a worker must not hold up the end of the process.
    if (_impl->wrapped) {
        (void)_impl->wrapped->flush(std::chrono::steady_clock::now() + bound);
    }
}

std::int32_t StatisticsManager::converStatisticsAction2AppStatistics(std::int64_t code) {
    const bool kept = (code >= 1 && code <= 6) || (code >= 21 && code <= 24) || code == 31 || code == 36;
    return kept ? static_cast<std::int32_t>(code) : 0;
}

std::string StatisticsManager::converToCppString(std::string_view text) {
    auto strip = [&](auto hasAtEnd, auto removeAtEnd) {
        for (bool removed = true; removed;) {
            removed = false;
            for (std::string_view lineEnd : lineEnds) {
                if (hasAtEnd(lineEnd)) {
                    removeAtEnd(lineEnd.size());
                    removed = true;
                    break;
                }
            }
        }
    };
    strip([&](std::string_view end) { return text.starts_with(end); }, [&](std::size_t n) { text.remove_prefix(n); });
    strip([&](std::string_view end) { return text.ends_with(end); }, [&](std::size_t n) { text.remove_suffix(n); });
    return std::string(text);
}
