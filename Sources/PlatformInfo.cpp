#include "PlatformInfo.h"

#include "BashTask.h"
#include "platform/Bundle.h"
#include "platform/MachineFacts.h"
#include "platform/Paths.h"
#include "platform/Utf8.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <utility>
#include <vector>

namespace {

// The cut-off the calling thread's probes answer to, if any.
thread_local PlatformInfo::CutOff* currentCutOff = nullptr;

// Runs a probe's child to its end, or until the calling thread's cut-off ends it.
std::optional<std::string> runChild(const std::string& path, const std::vector<std::string>& arguments) {
    auto process = platform::Process::create();
    process->setLaunchPath(path);
    process->setArguments(arguments);
    return currentCutOff != nullptr ? currentCutOff->run(process) : BashTask::executeToEnd(process);
}

// The commands run in the C locale, so that the numbers they print are read the same whatever
// the user's locale. Output that is not UTF-8 decodes to no text, and the rules read it as such.
std::string runShell(const std::string& command) {
    std::string output = runChild("/bin/sh", {"-c", "export LC_ALL=C; " + command}).value_or("");
    return platform::utf8::isValid(output) ? output : "";
}

std::string removingAll(std::string text, const std::string& piece) {
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at)) {
        text.erase(at, piece.size());
    }
    return text;
}

std::string replacingLineFeeds(std::string text, char with) {
    std::replace(text.begin(), text.end(), '\n', with);
    return text;
}

template <typename... Args>
std::string formatted(const char* format, Args... args) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, args...);
    return buffer;
}

std::mutex openGlinfoMutex;
std::optional<platform::json::Value> cachedOpenGlinfo;  // until a run of the tool gave an object

std::string openGlMember(const char* key) {
    const auto info = PlatformInfo::openGlinfo();
    return info ? info->stringMember(key).value_or("") : "";
}

// The first non-loopback interface with a hardware address that is not all zeros.
const char* const macAddressCommand =
    "for f in /sys/class/net/*/address; do d=${f%/address}; [ \"${d##*/}\" = lo ] && continue; "
    "a=$(cat \"$f\" 2>/dev/null); [ -z \"$a\" ] || [ \"$a\" = 00:00:00:00:00:00 ] && continue; echo \"$a\"; break; done";

// Asks the routing table only; nothing is sent to the address.
const char* const ipAddressCommand =
    "d=$(ip route get 8.8.8.8 2>/dev/null | sed -n 's/.* dev \\([^ ]*\\).*/\\1/p' | head -n 1); "
    "[ -n \"$d\" ] && ip -4 addr show dev \"$d\" 2>/dev/null | grep 'inet ' | head -n 1 | sed 's/.*inet \\([0-9.]*\\).*/\\1/'";

const char* const cpuCommand = "grep -m 1 '^model name' /proc/cpuinfo | sed 's/^model name[[:space:]]*: *//'";

// Two samples of the processor counters a quarter second apart, printed as a load line and then
// stripped down to "user,sys,idle".
const char* const cpuUsageCommand =
    "{ head -n 1 /proc/stat; sleep 0.25; head -n 1 /proc/stat; } | awk "
    "'NR==1{u=$2+$3;s=$4+$7+$8;i=$5+$6;next}"
    "{du=$2+$3-u;ds=$4+$7+$8-s;di=$5+$6-i;t=du+ds+di;if(t<=0)t=1;"
    "printf \"CPU usage: %.2f%% user, %.2f%% sys, %.2f%% idle \\n\",100*du/t,100*ds/t,100*di/t}' "
    "|grep \"CPU usage:\" | tr -d '\n' | tr -d \"CPU usageryidl:%\"";

const char* const osNameCommand =
    "f=/etc/os-release; [ -r \"$f\" ] || f=/usr/lib/os-release; "
    "grep -m 1 '^NAME=' \"$f\" | cut -d= -f2- | tr -d '\"'; grep -m 1 '^VERSION_ID=' \"$f\" | cut -d= -f2- | tr -d '\"'";

const char* const osArchitectureCommand =
    "getconf LONG_BIT 2>/dev/null || { uname -m | grep -q 64 && echo 64; }";

// Installed memory from the online memory blocks, else the kernel's usable total.
const char* const ramTotalCommand =
    "b=$(cat /sys/devices/system/memory/block_size_bytes 2>/dev/null); "
    "n=$(cat /sys/devices/system/memory/memory*/online 2>/dev/null | grep -c 1); "
    "if [ -n \"$b\" ] && [ \"$n\" -gt 0 ]; then echo $((0x$b * n)); "
    "else awk '/^MemTotal:/{printf \"%.0f\\n\", $2*1024}' /proc/meminfo; fi";

const char* const ramFreeCommand = "awk '/^MemFree:/{printf \"Pages free: %d.\\n\", $2/4}' /proc/meminfo | grep free";

const char* const hddFreeSpaceCommand = "df -h -P / | grep -m 1 '/'";

const char* const dotNetVersionsCommand = "command -v mono >/dev/null 2>&1 && mono --version";

// Prints the marker of the loaded accelerator module that the rule looks for.
const char* const haxmCommand = "grep -q -w haxm /proc/modules 2>/dev/null && echo com.intel.kext.intelhaxm";

const char* const virtualizationCommand = "grep -q -w -E 'vmx|svm' /proc/cpuinfo && echo VMX";

}  // namespace

PlatformInfo::CutOff::Scope::Scope(CutOff& cutOff) : _previous(std::exchange(currentCutOff, &cutOff)) {}

PlatformInfo::CutOff::Scope::~Scope() { currentCutOff = _previous; }

void PlatformInfo::CutOff::cut() {
    std::shared_ptr<platform::Process> running;
    {
        std::lock_guard lock(_mutex);
        _cut = true;
        running = _running;
    }
    // A child about to be launched is ended as soon as it starts.
    if (running) {
        running->terminate();
    }
}

std::optional<std::string> PlatformInfo::CutOff::run(const std::shared_ptr<platform::Process>& process) {
    {
        std::lock_guard lock(_mutex);
        if (_cut) {
            return std::nullopt;
        }
        _running = process;
    }
    auto output = BashTask::executeToEnd(process);
    std::lock_guard lock(_mutex);
    _running.reset();
    return output;
}

std::string PlatformInfo::hardwareId() {
    const std::filesystem::path file = platform::paths::applicationSupportDirectory() / "hwid.dat";
    std::error_code error;
    if (std::filesystem::exists(file, error)) {
        std::ifstream in(file, std::ios::binary);
        std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        return platform::utf8::isValid(content) ? content : "";
    }
    return removingAll(platform::machine::platformUuid(), "-");
}

std::string PlatformInfo::macAddress() { return macAddressFromOutput(runShell(macAddressCommand)); }
std::string PlatformInfo::ipAddress() { return ipAddressFromOutput(runShell(ipAddressCommand)); }
std::string PlatformInfo::cpu() { return cpuFromOutput(runShell(cpuCommand)); }
std::string PlatformInfo::cpuUsage() { return cpuUsageFromOutput(runShell(cpuUsageCommand)); }
std::string PlatformInfo::osName() { return osNameFromOutput(runShell(osNameCommand)); }
std::string PlatformInfo::osArchitectureName() { return osArchitectureNameFromOutput(runShell(osArchitectureCommand)); }
std::string PlatformInfo::ramTotal() { return ramTotalFromOutput(runShell(ramTotalCommand)); }
std::string PlatformInfo::ramFree() { return ramFreeFromOutput(runShell(ramFreeCommand)); }
std::string PlatformInfo::hddFreeSpace() { return hddFreeSpaceFromOutput(runShell(hddFreeSpaceCommand)); }
std::string PlatformInfo::dotNetVersions() { return dotNetVersionsFromOutput(runShell(dotNetVersionsCommand)); }
std::string PlatformInfo::gpuModelName() { return platform::machine::gpuModelName(); }
std::string PlatformInfo::haxmInfo() { return haxmInfoFromOutput(runShell(haxmCommand)); }
std::string PlatformInfo::virtualizationInfo() { return virtualizationInfoFromOutput(runShell(virtualizationCommand)); }

std::string PlatformInfo::macAddressFromOutput(const std::string& output) {
    std::string address = removingAll(removingAll(output, "\n"), ":");
    std::transform(address.begin(), address.end(), address.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return address;
}

std::string PlatformInfo::ipAddressFromOutput(const std::string& output) { return removingAll(output, "\n"); }

std::string PlatformInfo::cpuUsageFromOutput(const std::string& output) {
    std::vector<std::string> parts;
    std::stringstream stream(output);
    for (std::string part; std::getline(stream, part, ',');) {
        parts.push_back(part);
    }
    // A part that is not there counts as no load.
    const auto partValue = [&parts](std::size_t index) { return index < parts.size() ? std::strtof(parts[index].c_str(), nullptr) : 0.0f; };
    const float load = partValue(0) + partValue(1);
    return formatted("%g%%", static_cast<double>(load));
}

std::string PlatformInfo::osNameFromOutput(const std::string& output) { return replacingLineFeeds(output, ' '); }

std::string PlatformInfo::osArchitectureNameFromOutput(const std::string& output) {
    return std::atoi(output.c_str()) == 64 ? "64 bit" : "32 bit";
}

std::string PlatformInfo::ramTotalFromOutput(const std::string& output) {
    const long long bytes = std::strtoll(output.c_str(), nullptr, 10);
    return std::to_string(bytes / 1073741824LL) + "Gb";
}

std::string PlatformInfo::ramFreeFromOutput(const std::string& output) {
    const long long pages = std::strtoll(removingAll(output, "Pages free:").c_str(), nullptr, 10);
    const float kib = 1.0f / 1024.0f;
    const float gib = static_cast<float>(static_cast<unsigned long long>(pages)) * 4096.0f * kib * kib * kib;
    return formatted("%5.2fGb", static_cast<double>(gib));
}

std::string PlatformInfo::hddFreeSpaceFromOutput(const std::string& output) {
    std::vector<std::string> columns;
    std::string column;
    for (char c : output + " ") {
        if (c == ' ' || c == '\t') {
            if (!column.empty()) {
                columns.push_back(column);
            }
            column.clear();
        } else {
            column += c;
        }
    }
    return columns.size() > 3 ? columns[3] : "";
}

std::string PlatformInfo::dotNetVersionsFromOutput(const std::string& output) { return replacingLineFeeds(output, ' '); }

std::string PlatformInfo::haxmInfoFromOutput(const std::string& output) {
    return output.find("com.intel.kext.intelhaxm") != std::string::npos ? "HAXM is installed." : "HAXM is NOT installed.";
}

std::string PlatformInfo::virtualizationInfoFromOutput(const std::string& output) {
    return output.find("VMX") != std::string::npos ? "Virtualization is enabled in the firmware."
                                                   : "Virtualization is NOT enabled in the firmware.";
}

std::string PlatformInfo::bandwidth(std::uint64_t bytesPerSecond) {
    if (bytesPerSecond == 0) {
        return "";
    }
    const float kilobytes = static_cast<float>(bytesPerSecond) * 0.0009765625f;
    return formatted("%5.2f kb/s", static_cast<double>(kilobytes));
}

std::filesystem::path PlatformInfo::configsFolderPath(const std::string& relativePath) {
    const std::filesystem::path configs = platform::Bundle::mainBundle().resourcePath() / "Configs" / "Configs.json";
    return configs.parent_path() / relativePath;
}

std::optional<platform::json::Value> PlatformInfo::openGlinfo() {
    std::lock_guard lock(openGlinfoMutex);
    if (cachedOpenGlinfo) {
        return cachedOpenGlinfo;
    }
    const std::string output = runChild(configsFolderPath("../utility/sysinfo-app").string(), {}).value_or("");
    auto parsed = platform::json::Value::parse(output);
    if (parsed && parsed->isObject()) {
        cachedOpenGlinfo = std::move(parsed);
    }
    return cachedOpenGlinfo;
}

void PlatformInfo::resetOpenGlinfo() {
    std::lock_guard lock(openGlinfoMutex);
    cachedOpenGlinfo.reset();
}

std::string PlatformInfo::openGLVersion() { return openGlMember("Version"); }
std::string PlatformInfo::openGLVendor() { return openGlMember("Vendor"); }
std::string PlatformInfo::openGLRenderer() { return openGlMember("Renderer"); }
std::string PlatformInfo::openGLExtensions() { return openGlMember("Extensions"); }

std::string PlatformInfo::appVersion() {
    return appVersionFromShortVersion(platform::Bundle::mainBundle().objectForInfoDictionaryKey("CFBundleShortVersionString").value_or(""));
}

std::string PlatformInfo::appVersionFromShortVersion(const std::string& shortVersion) {
    const bool usable = !shortVersion.empty() && shortVersion.find("VERSION") == std::string::npos;
    return (usable ? shortVersion : "0.0.0") + ".0";
}
