#include "core/statistics/loggly/loggly_client.h"

#include "core/statistics/event_format.h"

#include <cassert>

namespace Statistics::Loggly {

using namespace Statistics::EventFormat;

std::string formatTime(const AppStatistics::TimePoint& time)
{
    return EventFormat::formatTime(time);
}

std::string playerStateToString(std::int32_t state)
{
    return EventFormat::playerStateToString(state);
}

Client::Client(const std::shared_ptr<Statistics::Transport>& transport, const std::string& siteUrl)
    : _transport(transport)
    , _siteUrl(siteUrl)
{
    assert((_transport != nullptr) && "Transport pointer is null");
    assert((_siteUrl.length() != 0) && "Statistics URL is empty");
}

std::string Client::eventUrl(const AppStatistics& s, const char* eventKind) const
{
    // The event source goes into the path as it stands; the service files events by these tags.
    return _siteUrl + "ravelune," + s.eventSource + "," + eventKind;
}

void Client::sendStatus(const AppStatistics& s)
{
    const std::string url = eventUrl(s, "status");
    send(url, object({
        {"installationId", s.installationId},
        {"emulatorId", s.hardwareId},
        {"ipAddressLocal", s.localIpAddress},
        {"macAddress", s.localMacAddress},
        {"virtualization", booleanText(s.cpuVirtualization)},
        {"platform", s.localOsName},
        {"sourceUrl", s.bundleSourceUrl},
        {"version", s.version},
        {"status", std::to_string(s.eventStatus)},
        {"emulatorType", s.emulatorType},
        {"apkPackageName", s.apkPackageName},
        {"timestamp", eventTime(s)},
    }));
}

void Client::sendActivity(const AppStatistics& s)
{
    const std::string url = eventUrl(s, "activity");
    send(url, object({
        {"installationId", s.installationId},
        {"emulatorId", s.hardwareId},
        {"macAddress", s.localMacAddress},
        {"platform", s.localOsName},
        {"sourceUrl", s.bundleSourceUrl},
        {"version", s.version},
        {"emulatorType", s.emulatorType},
        {"apkPackageName", s.apkPackageName},
        {"timestamp", eventTime(s)},
        {"gameTitle", s.applicationTitle},
        {"eventStartTime", formatTime(s.stateStartTime)},
        {"eventStopTime", formatTime(s.stateEndTime)},
        {"type", playerStateToString(s.playerState)},
    }));
}

void Client::sendSystemInfo(const AppStatistics& s)
{
    const std::string url = eventUrl(s, "sysinfo");
    // Computed once so that "date" and "timestamp" agree even for an unstamped record.
    const std::string time = eventTime(s);
    send(url, object({
        {"installationId", s.installationId},
        {"emulatorId", s.hardwareId},
        {"macAddress", s.localMacAddress},
        {"ipAddressLocal", s.localIpAddress},
        {"date", time},
        {"timestamp", time},
        {"version", s.version},
        {"cpu", s.cpu},
        {"cpuUsage", s.cpuUsage},
        {"os", s.localOsName},
        {"osArchitecture", s.osArchitecture},
        {"ram", s.ram},
        {"ramFree", s.ramFree},
        {"hddFreeSpace", s.hddFreeSpace},
        {"dotNetVersions", s.dotNetVersions},
        {"gpu", s.gpu},
        {"haxm", s.haxm},
        {"virtualization", booleanText(s.cpuVirtualization)},
        {"bandwidth", s.bandwidth},
        {"emulatorType", s.emulatorType},
        {"openGLVersion", s.openGLVersion},
        {"openGLVendor", s.openGLVendor},
        {"openGLRenderer", s.openGLRenderer},
        {"openGLExtensions", s.openGLExtensions},
    }));
}

void Client::send(const std::string& url, const std::string& body)
{
    (void)_transport->send(url, body);
}

} // namespace Statistics::Loggly
