#include "core/statistics/orv/orv_client.h"

#include "core/statistics/event_format.h"

#include <cassert>

namespace Statistics::Orv {

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

std::string Client::eventUrl(const char* eventName) const
{
    return _siteUrl + "/" + eventName;
}

void Client::sendAction(const AppStatistics& s)
{
    const std::string url = eventUrl("action");
    send(url, object({
        {"hwid", s.hardwareId},
        {"macAddress", s.localMacAddress},
        {"ipAddressLocal", s.localIpAddress},
        {"installDate", eventTime(s)},
        {"sourceUrl", s.bundleSourceUrl},
        {"platform", s.localOsName},
        {"version", s.version},
        {"virtualization", booleanText(s.cpuVirtualization)},
        {"status", std::to_string(s.eventStatus)},
        {"instId", s.installationId},
        {"emulatorType", s.emulatorType},
        {"apkPackageName", s.apkPackageName},
    }));
}

void Client::sendActivity(const AppStatistics& s)
{
    const std::string url = eventUrl("activityadd");
    send(url, object({
        {"hwid", s.hardwareId},
        {"macAddress", s.localMacAddress},
        {"sourceUrl", s.bundleSourceUrl},
        {"gameTitle", s.applicationTitle},
        {"platform", s.localOsName},
        {"start", formatTime(s.stateStartTime)},
        {"stop", formatTime(s.stateEndTime)},
        {"type", playerStateToString(s.playerState)},
        {"comVer", s.version},
        {"instId", s.installationId},
        {"emulatorType", s.emulatorType},
        {"apkPackageName", s.apkPackageName},
    }));
}

void Client::sendSystemInfo(const AppStatistics& s)
{
    const std::string url = eventUrl("sysinfo");
    send(url, object({
        {"instId", s.installationId},
        {"hwid", s.hardwareId},
        {"macAddress", s.localMacAddress},
        {"ipAddressLocal", s.localIpAddress},
        {"date", eventTime(s)},
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

void Client::sendException(const AppStatistics& s)
{
    const std::string url = eventUrl("exception");
    send(url, object({
        {"hwid", s.hardwareId},
        {"instId", s.installationId},
        {"macAddress", s.localMacAddress},
        {"ipAddressLocal", s.localIpAddress},
        {"emulatorType", s.emulatorType},
        {"platform", s.localOsName},
        {"exception", s.exception},
        {"source", s.eventSource},
        {"version", s.version},
        {"date", eventTime(s)},
    }));
}

void Client::send(const std::string& url, const std::string& body)
{
    // Delivery and retry belong to the transport; nothing is reported back here.
    (void)_transport->send(url, body);
}

} // namespace Statistics::Orv
