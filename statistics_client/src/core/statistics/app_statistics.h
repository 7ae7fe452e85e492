#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// One event's worth of facts about the installation and the machine. Filled by the
// installer, stamped by Statistics::Client, read (never changed) by the event clients.
struct AppStatistics {
    // Microseconds since 1970-01-01T00:00:00 UTC; zero means "not set".
    using TimePoint = std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;

    std::string installationId;
    std::string hardwareId;
    std::string localMacAddress;
    std::string localIpAddress;
    std::string bundleSourceUrl;
    std::string applicationTitle;
    std::string version;
    std::string localOsName;
    std::string emulatorType;
    std::string exception;
    std::string apkPackageName;
    std::string eventSource;
    std::string cpu;
    std::string cpuUsage;
    std::string osArchitecture;
    std::string ram;
    std::string ramFree;
    std::string hddFreeSpace;
    std::string dotNetVersions;
    std::string gpu;
    std::string haxm;
    std::string bandwidth;
    std::string openGLVersion;
    std::string openGLVendor;
    std::string openGLRenderer;
    std::string openGLExtensions;
    TimePoint eventTime{};
    TimePoint stateStartTime{};
    TimePoint stateEndTime{};
    std::int32_t eventStatus = 0;
    std::int32_t playerState = 0;
    bool cpuVirtualization = false;
};
