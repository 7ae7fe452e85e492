#include "StatisticsManager.h"

#include "Logger/Logger.h"
#include "PlatformInfo.h"
#include "core/statistics/client.h"
#include "platform/Uuid.h"

#include <log4cplus/mdc.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
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

using Probes = StatisticsManager::Probes;

bool lacksNot(const std::string& virtualizationInfo) { return virtualizationInfo.find("NOT") == std::string::npos; }

// A probe asked once, at its first use, and then answered from what it said. Only the facade's
// worker asks it.
Probes::Text keptOnce(Probes::Text probe) {
    if (!probe) {
        return probe;
    }
    return [probe = std::move(probe), kept = std::make_shared<std::optional<std::string>>()] {
        if (!*kept) {
            *kept = probe();
        }
        return **kept;
    };
}

// The machine's names, versions, identifiers and hardware cannot change while the installer
// runs, so each of them is probed once; load, free memory and free disk space are probed anew
// for every call.
Probes keepingFixedFacts(Probes probes) {
    for (Probes::Text Probes::*fact :
         {&Probes::hardwareId, &Probes::macAddress, &Probes::ipAddress, &Probes::platformName, &Probes::appVersion,
          &Probes::virtualizationInfo, &Probes::cpu, &Probes::osName, &Probes::osArchitectureName, &Probes::ramTotal,
          &Probes::dotNetVersions, &Probes::gpuModelName, &Probes::haxmInfo, &Probes::openGLVersion,
          &Probes::openGLVendor, &Probes::openGLRenderer, &Probes::openGLExtensions}) {
        probes.*fact = keptOnce(std::move(probes.*fact));
    }
    return probes;
}

}  // namespace

struct StatisticsManager::Impl {
    Impl(std::shared_ptr<Statistics::Client> client, Probes machineProbes)
        : probes(keepingFixedFacts(std::move(machineProbes))), instId(removingDashes(platform::newUuidText())),
          wrapped(std::move(client)) {
        std::lock_guard lock(live().mutex);
        live().instances.push_back(this);
    }

    // Runs what is queued, then stops the worker.
    ~Impl() {
        {
            std::lock_guard lock(live().mutex);
            std::erase(live().instances, this);
        }
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        changed.notify_all();
        worker.join();
    }

    // The instances not destroyed, for the exit handler; never destroyed itself.
    struct Live {
        std::mutex mutex;
        std::vector<Impl*> instances;
    };
    static Live& live() {
        static Live* value = new Live;
        return *value;
    }

    // A process that ends without the final flush: no call may be under way while the logging
    // library and the other static objects go. Registered at the first call, that is after the
    // logging library was set up at start-up, and so run before its teardown.
    static void closeAllAtExit() {
        std::lock_guard lock(live().mutex);
        for (Impl* impl : live().instances) {
            impl->close(std::chrono::steady_clock::now() + std::chrono::milliseconds(100));
        }
    }

    static std::string removingDashes(std::string text) {
        text.erase(std::remove(text.begin(), text.end(), '-'), text.end());
        return text;
    }

    // The probe's text without line ends at either end; nothing once closed.
    std::string ask(const Probes::Text& probe) const {
        return probe && !closed ? converToCppString(probe()) : std::string();
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

    // Fills the record for a call; worker only, inside deliver().
    void fill(const std::vector<Fill>& fills, bool cpuVirtualization) {
        for (const Fill& f : fills) {
            appInfo.*f.field = f.value;
        }
        appInfo.cpuVirtualization = cpuVirtualization;
        appInfo.emulatorType = emulatorType;
        appInfo.eventSource = eventSource;
    }

    // Queues the rest of a call for the worker. Its log line carries the logging context of the
    // calling thread, as it did when the whole call ran there.
    void post(std::function<void()> work) {
        static std::once_flag exitHandled;
        std::call_once(exitHandled, [] { std::atexit(closeAllAtExit); });
        if (closed) {
            return;  // the process is ending: the call could not finish anyway
        }
        Job job{log4cplus::getMDC().getContext(), std::move(work)};
        {
            std::lock_guard lock(mutex);
            jobs.push_back(std::move(job));
        }
        changed.notify_all();
    }

    // Runs what reaches the client or the log, unless closed; worker only. Closing waits for a
    // delivery under way.
    void deliver(const std::function<void()>& delivery) {
        std::lock_guard gate(gateMutex);
        if (!closed) {
            delivery();
        }
    }

    // Logs with the context of the call under way; worker only, inside deliver().
    void logAsCaller(const std::function<void()>& log) {
        log4cplus::MDC& mdc = log4cplus::getMDC();
        for (const auto& [key, value] : callerContext) {
            mdc.put(key, value);
        }
        log();
        mdc.clear();
    }

    // Has the client start posting what it holds, without waiting for it.
    void startPosting() {
        if (wrapped) {
            (void)wrapped->flush(std::chrono::steady_clock::now());
        }
    }

    // True when every call queued so far has ended before the deadline.
    bool waitIdle(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(mutex);
        return changed.wait_until(lock, deadline, [this] { return jobs.empty() && !busy; });
    }

    // From now on no call reaches the client or the log and no probe starts: the queued calls
    // are dropped and the probe under way is ended. Returns once the worker is out of its call,
    // or at the deadline should a probe that runs no child hold it up.
    void close(std::chrono::steady_clock::time_point deadline) {
        {
            std::lock_guard gate(gateMutex);
            closed = true;
        }
        {
            std::lock_guard lock(mutex);
            jobs.clear();
        }
        // A child launched just after a cut is ended by the next one.
        do {
            cutOff.cut();
        } while (!waitIdle(std::min(std::chrono::steady_clock::now() + std::chrono::milliseconds(10), deadline)) &&
                 std::chrono::steady_clock::now() < deadline);
    }

    void run() {
        const PlatformInfo::CutOff::Scope probesAnswerToCutOff(cutOff);
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return stopping || !jobs.empty(); });
            if (jobs.empty()) {
                return;
            }
            Job job = std::move(jobs.front());
            jobs.pop_front();
            busy = true;
            lock.unlock();
            callerContext = std::move(job.context);
            // The facade reports nothing to its callers, and the next call must still run.
            std::optional<std::string> failure;
            try {
                job.work();
            } catch (const std::exception& error) {
                failure = error.what();
            } catch (...) {
                failure = "unknown error";
            }
            deliver([&] {
                if (failure) {
                    logAsCaller([&] { Logger::shared().logError("A statistics call failed and was dropped: %@", *failure); });
                }
                if (exiting) {
                    startPosting();
                }
            });
            job = {};
            lock.lock();
            busy = false;
            changed.notify_all();
        }
    }

    struct Job {
        log4cplus::MappedDiagnosticContextMap context;
        std::function<void()> work;
    };

    const Probes probes;
    const std::string instId;
    const std::shared_ptr<Statistics::Client> wrapped;
    // The record and the use of the client belong to the worker alone; at the end of the
    // process the final flush also asks the client to post.
    AppStatistics appInfo;
    log4cplus::MappedDiagnosticContextMap callerContext;
    // From the final flush on, each call's events are posted as soon as the call ends.
    std::atomic<bool> exiting{false};
    // Ends the worker's probes when the facade closes.
    PlatformInfo::CutOff cutOff;
    // Held for each delivery and to close.
    std::mutex gateMutex;
    std::atomic<bool> closed{false};
    // Guards what follows.
    std::mutex mutex;
    std::condition_variable changed;
    std::string referrerUrl;
    std::deque<Job> jobs;
    bool busy = false;
    bool stopping = false;
    // Last, so that it starts once everything it uses exists.
    std::thread worker{[this] { run(); }};
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
    d.post([&d, code, referrer = referrerUrl()] {
        const bool cpuVirtualization = lacksNot(d.ask(d.probes.virtualizationInfo));
        std::vector<Fill> fills = d.identityFills();
        fills.insert(fills.end(), {
            {&AppStatistics::localOsName, d.ask(d.probes.platformName)},
            {&AppStatistics::version, d.ask(d.probes.appVersion)},
            {&AppStatistics::bundleSourceUrl, converToCppString(referrer)},
        });
        d.deliver([&] {
            d.fill(fills, cpuVirtualization);
            d.appInfo.eventStatus = converStatisticsAction2AppStatistics(code);
            d.wrapped->sendAction(d.appInfo);
            d.logAsCaller([code] { Logger::shared().logInfo("Action statistics with event status %d has been sent.", code); });
        });
    });
}

void StatisticsManager::sendSystemInfo(std::uint64_t bandwidth) {
    Impl& d = *_impl;
    d.post([&d, bandwidth] {
        const bool cpuVirtualization = lacksNot(d.ask(d.probes.virtualizationInfo));
        std::vector<Fill> fills = d.identityFills();
        fills.insert(fills.end(), {
            {&AppStatistics::version, d.ask(d.probes.appVersion)},
            {&AppStatistics::cpu, d.ask(d.probes.cpu)},
            {&AppStatistics::cpuUsage, d.ask(d.probes.cpuUsage)},
            {&AppStatistics::localOsName, d.ask(d.probes.osName)},
            {&AppStatistics::osArchitecture, d.ask(d.probes.osArchitectureName)},
            {&AppStatistics::ram, d.ask(d.probes.ramTotal)},
            {&AppStatistics::ramFree, d.ask(d.probes.ramFree)},
            {&AppStatistics::hddFreeSpace, d.ask(d.probes.hddFreeSpace)},
            {&AppStatistics::dotNetVersions, d.ask(d.probes.dotNetVersions)},
            {&AppStatistics::gpu, d.ask(d.probes.gpuModelName)},
            {&AppStatistics::haxm, d.ask(d.probes.haxmInfo)},
            {&AppStatistics::bandwidth, d.probes.bandwidth ? converToCppString(d.probes.bandwidth(bandwidth)) : ""},
            {&AppStatistics::openGLVersion, d.ask(d.probes.openGLVersion)},
            {&AppStatistics::openGLVendor, d.ask(d.probes.openGLVendor)},
            {&AppStatistics::openGLRenderer, d.ask(d.probes.openGLRenderer)},
            {&AppStatistics::openGLExtensions, d.ask(d.probes.openGLExtensions)},
        });
        d.deliver([&] {
            d.fill(fills, cpuVirtualization);
            d.wrapped->sendSystemInfo(d.appInfo);
            d.logAsCaller(
                [bandwidth] { Logger::shared().logInfo("SysInfo statistics with bandwidth %d has been sent.", bandwidth); });
        });
    });
}

void StatisticsManager::flushBeforeExit(std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    Impl& d = *_impl;
    // The calls still queued or under way must end before their events can be posted, and
    // their probes may take much of the bound: so what the client holds goes out now, and the
    // events of each call as soon as it ends, beside the next call's probes (the client may
    // be flushed beside a call). The last tenth of the bound is kept to end the calls still
    // under way, after which no statistics code of the facade runs; the last posts are waited
    // for until the deadline, whatever the probes or the network do.
    d.exiting = true;
    d.startPosting();
    (void)d.waitIdle(deadline - bound / 10);
    d.close(deadline);
    if (d.wrapped) {
        (void)d.wrapped->flush(deadline);
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
