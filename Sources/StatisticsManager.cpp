#include "StatisticsManager.h"

#include "Logger/Logger.h"
#include "PlatformInfo.h"
#include "core/statistics/client.h"
#include "platform/Uuid.h"

#include <log4cplus/mdc.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
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
    using Clock = std::chrono::steady_clock;
    using Context = log4cplus::MappedDiagnosticContextMap;

    // What a call gives the client once its probes have run, and the line that says so.
    struct Handover {
        std::vector<Fill> fills;
        bool cpuVirtualization = false;
        std::optional<std::int32_t> eventStatus;  // an action's
        void (Statistics::Client::*send)(const AppStatistics&) = nullptr;
        std::function<void()> line;
    };
    // A call queued for the worker: its probes, and the logging context of the calling thread,
    // which its line carries as it did when the whole call ran there.
    struct Job {
        Context context;
        std::function<Handover()> probe;
    };

    // The facade only moves forward through these.
    enum class Stage {
        open,     // calls run; their events wait for the client's next period
        posting,  // the final flush has begun: each call's events are posted as soon as it ends
        closed,   // the end: no call starts, reaches the client or logs any more
        stopped,  // closed, and the owner lets the worker go
    };
    // Where the worker is. Closing waits while it probes or logs, not while it hands over.
    enum class Place { waiting, probing, handingOver, logging };

    Impl(std::shared_ptr<Statistics::Client> client, Probes machineProbes)
        : probes(keepingFixedFacts(std::move(machineProbes))), instId(removingDashes(platform::newUuidText())),
          wrapped(std::move(client)) {}

    // Runs what is queued, then closes and stops the worker.
    ~Impl() {
        bool closedAtExit = false;
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [this] { return isClosed() || (jobs.empty() && place == Place::waiting); });
            closedAtExit = joinedExitList;
        }
        if (closedAtExit) {
            ExitList::get().leave(this);
        }
        close(Clock::now());
        {
            std::lock_guard lock(mutex);
            stage = Stage::stopped;
        }
        changed.notify_all();
        worker.join();
    }

    // The facades that have had a call and are not destroyed: when the process exits they are
    // closed, so that no call of theirs runs, sends or logs while the logging library and the
    // other static objects go. The list is made at the first call of any facade, which at
    // start-up is after the logging library was set up, so the process takes the list down,
    // closing its facades, before the library.
    class ExitList {
    public:
        static ExitList& get() {
            static ExitList list;
            return list;
        }
        void join(Impl* facade) {
            std::lock_guard lock(_mutex);
            _facades.push_back(facade);
        }
        void leave(Impl* facade) {
            std::lock_guard lock(_mutex);
            std::erase(_facades, facade);
        }
        ~ExitList() {
            std::lock_guard lock(_mutex);
            for (Impl* facade : _facades) {
                facade->close(Clock::now() + std::chrono::milliseconds(100));
            }
        }

    private:
        ExitList() = default;
        std::mutex _mutex;
        std::vector<Impl*> _facades;
    };

    static std::string removingDashes(std::string text) {
        text.erase(std::remove(text.begin(), text.end(), '-'), text.end());
        return text;
    }

    // With the lock held.
    bool isClosed() const { return stage == Stage::closed || stage == Stage::stopped; }

    // The probe's text without line ends at either end; nothing once closed.
    std::string ask(const Probes::Text& probe) {
        {
            std::lock_guard lock(mutex);
            if (!probe || isClosed()) {
                return {};
            }
        }
        return converToCppString(probe());
    }

    // The fields both calls fill first, in this order.
    std::vector<Fill> identityFills() {
        return {
        {&AppStatistics::hardwareId, ask(probes.hardwareId)},
        {&AppStatistics::installationId, converToCppString(instId)},
        {&AppStatistics::localMacAddress, ask(probes.macAddress)},
        {&AppStatistics::localIpAddress, ask(probes.ipAddress)},
        };
    }

    // Queues a call for the worker; dropped once closed.
    void post(std::function<Handover()> probe) {
        Job job{log4cplus::getMDC().getContext(), std::move(probe)};
        bool first = false;
        {
            std::lock_guard lock(mutex);
            if (isClosed()) {
                return;
            }
            jobs.push_back(std::move(job));
            first = !std::exchange(joinedExitList, true);
        }
        changed.notify_all();
        if (first) {
            ExitList::get().join(this);
        }
    }

    // From the final flush on, each call's events go out as soon as it ends.
    void postEachCall() {
        {
            std::lock_guard lock(mutex);
            if (stage == Stage::open) {
                stage = Stage::posting;
            }
        }
        startPosting();
    }

    // Has the client start posting what it holds, without waiting for it.
    void startPosting() {
        if (wrapped) {
            (void)wrapped->flush(Clock::now());
        }
    }

    // True when every call queued so far has ended before the deadline.
    bool waitIdle(Clock::time_point deadline) {
        std::unique_lock lock(mutex);
        return changed.wait_until(lock, deadline, [this] { return jobs.empty() && place == Place::waiting; });
    }

    // The facade's one ending, whoever ends it: from now on no call starts, reaches the client or
    // logs, the queued calls are dropped and the probe under way is ended. Returns once the
    // worker is out of its probes and its line, or at the deadline should a probe that runs no
    // child hold it up. A hand-over to the client under way is not waited for, as the client may
    // hold it behind a post in flight; the call logs nothing after it.
    void close(Clock::time_point deadline) {
        std::deque<Job> dropped;
        {
            std::lock_guard lock(mutex);
            stage = Stage::closed;
            dropped.swap(jobs);
        }
        changed.notify_all();
        // Ends the probe's child under way, or the one about to start, and keeps any later one from starting.
        cutOff.cut();
        std::unique_lock lock(mutex);
        changed.wait_until(lock, deadline, [this] { return place == Place::waiting || place == Place::handingOver; });
    }

    // The worker: each call's probes, then its hand-over to the client, then its line, one call
    // after another, until the owner stops it.
    void run() {
        const PlatformInfo::CutOff::Scope probesAnswerToCutOff(cutOff);
        while (std::optional<Job> job = nextCall()) {
            // The facade reports nothing to its callers, and the next call must still run.
            std::function<void()> line;
            try {
                const Handover handover = job->probe();
                if (moveTo(Place::handingOver)) {
                    handOver(handover);
                    line = handover.line;
                }
            } catch (const std::exception& error) {
                line = [failure = std::string(error.what())] {
                    Logger::shared().logError("A statistics call failed and was dropped: %@", failure);
                };
            } catch (...) {
                line = [] { Logger::shared().logError("A statistics call failed and was dropped: %@", "unknown error"); };
            }
            endCall(job->context, line);
        }
    }

    // The next call, the worker then probing for it; none once stopped. Once closed no call is
    // queued, and the worker waits for its owner: a facade that lives through the exit keeps its
    // worker waiting there, never ended and unjoined.
    std::optional<Job> nextCall() {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return stage == Stage::stopped || !jobs.empty(); });
        if (jobs.empty()) {
            return std::nullopt;
        }
        Job job = std::move(jobs.front());
        jobs.pop_front();
        place = Place::probing;
        return job;
    }

    // False, and the worker stays where it is, once closed.
    bool moveTo(Place next) {
        std::lock_guard lock(mutex);
        if (isClosed()) {
            return false;
        }
        place = next;
        return true;
    }

    // Fills the record and gives it to the client. The client may hold the worker here behind a
    // post in flight, so no lock of the facade is held.
    void handOver(const Handover& handover) {
        for (const Fill& f : handover.fills) {
            appInfo.*f.field = f.value;
        }
        appInfo.cpuVirtualization = handover.cpuVirtualization;
        appInfo.emulatorType = emulatorType;
        appInfo.eventSource = eventSource;
        if (handover.eventStatus) {
            appInfo.eventStatus = *handover.eventStatus;
        }
        if (wrapped) {
            (wrapped.get()->*handover.send)(appInfo);
        }
    }

    // Logs the call's line with the caller's context and, during the final flush, starts posting
    // its events; neither once closed.
    void endCall(const Context& context, const std::function<void()>& line) {
        if (line && moveTo(Place::logging)) {
            log4cplus::MDC& mdc = log4cplus::getMDC();
            for (const auto& [key, value] : context) {
                mdc.put(key, value);
            }
            line();
            mdc.clear();
        }
        std::lock_guard lock(mutex);
        if (stage == Stage::posting) {
            startPosting();
        }
        place = Place::waiting;
        changed.notify_all();
    }

    const Probes probes;
    const std::string instId;
    const std::shared_ptr<Statistics::Client> wrapped;
    // The record belongs to the worker alone.
    AppStatistics appInfo;
    // Ends the worker's probes when the facade closes.
    PlatformInfo::CutOff cutOff;
    // Guards what follows.
    std::mutex mutex;
    std::condition_variable changed;
    std::string referrerUrl;
    std::deque<Job> jobs;
    Stage stage = Stage::open;
    Place place = Place::waiting;
    bool joinedExitList = false;
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
        Impl::Handover handover;
        handover.cpuVirtualization = lacksNot(d.ask(d.probes.virtualizationInfo));
        handover.fills = d.identityFills();
        handover.fills.insert(handover.fills.end(), {
            {&AppStatistics::localOsName, d.ask(d.probes.platformName)},
            {&AppStatistics::version, d.ask(d.probes.appVersion)},
            {&AppStatistics::bundleSourceUrl, converToCppString(referrer)},
        });
        handover.eventStatus = converStatisticsAction2AppStatistics(code);
        handover.send = &Statistics::Client::sendAction;
        handover.line = [code] { Logger::shared().logInfo("Action statistics with event status %d has been sent.", code); };
        return handover;
    });
}

void StatisticsManager::sendSystemInfo(std::uint64_t bandwidth) {
    Impl& d = *_impl;
    d.post([&d, bandwidth] {
        Impl::Handover handover;
        handover.cpuVirtualization = lacksNot(d.ask(d.probes.virtualizationInfo));
        handover.fills = d.identityFills();
        handover.fills.insert(handover.fills.end(), {
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
        handover.send = &Statistics::Client::sendSystemInfo;
        handover.line = [bandwidth] { Logger::shared().logInfo("SysInfo statistics with bandwidth %d has been sent.", bandwidth); };
        return handover;
    });
}

void StatisticsManager::flushBeforeExit(std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    Impl& d = *_impl;
    // The calls still queued or under way must end before their events can be posted, and
    // their probes may take much of the bound: so what the client holds goes out now, and the
    // events of each call as soon as it ends, beside the next call's probes. The last tenth of
    // the bound is kept for the ending, after which no call of the facade runs, sends or logs;
    // the last posts are waited for until the deadline, whatever the probes or the network do.
    d.postEachCall();
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
