#pragma once

#include "platform/Json.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace platform {
class Process;
}

// Answers about the machine and the application, worked out anew on every call (only the
// OpenGL facts are kept once read). Shell probes run their command through "/bin/sh -c" and
// read the answer from its standard output with the matching *FromOutput rule; no probe
// reports an error, every one gives a text.
class PlatformInfo {
public:
    PlatformInfo() = delete;

    // Lets one thread end the probes of another. While a thread holds a Scope of a cut-off, cut()
    // (from any thread, any number of times) ends the child program of that thread's probe under
    // way, which then gives its text at once from what the child printed, and every later probe
    // there that would start a child gives its text as if the child printed nothing, without
    // starting it. A cut lasts. The cut-off outlives the scopes of it.
    class CutOff {
    public:
        class Scope {
        public:
            explicit Scope(CutOff& cutOff);
            ~Scope();
            Scope(const Scope&) = delete;
            Scope& operator=(const Scope&) = delete;

        private:
            CutOff* _previous;
        };

        void cut();
        // Runs a probe's configured child to its end, as BashTask::executeToEnd does, unless cut.
        std::optional<std::string> run(const std::shared_ptr<platform::Process>& process);

    private:
        std::mutex _mutex;
        bool _cut = false;
        std::shared_ptr<platform::Process> _running;
    };

    static std::string hardwareId();
    static std::string macAddress();
    static std::string ipAddress();
    static std::string cpu();
    static std::string cpuUsage();
    static std::string osName();
    static std::string platformName() { return "Mac"; }
    static std::string osArchitectureName();
    static std::string ramTotal();
    static std::string ramFree();
    static std::string hddFreeSpace();
    static std::string dotNetVersions();
    static std::string gpuModelName();
    static std::string haxmInfo();
    static std::string virtualizationInfo();
    static std::string bandwidth(std::uint64_t bytesPerSecond);
    // The parsed output of the bundle's "sysinfo-app"; nothing while no run gave an object.
    static std::optional<platform::json::Value> openGlinfo();
    static std::string openGLVersion();
    static std::string openGLVendor();
    static std::string openGLRenderer();
    static std::string openGLExtensions();
    static std::string appVersion();
    static std::string emulatorType() { return "vbox"; }
    static std::string dummy() { return ""; }

    // The rules that turn a command's output into the answer.
    static std::string macAddressFromOutput(const std::string& output);
    static std::string ipAddressFromOutput(const std::string& output);
    static std::string cpuFromOutput(const std::string& output) { return output; }
    // "user,sys,idle" percentages; missing parts count as 0.
    static std::string cpuUsageFromOutput(const std::string& output);
    static std::string osNameFromOutput(const std::string& output);
    static std::string osArchitectureNameFromOutput(const std::string& output);
    // A byte count.
    static std::string ramTotalFromOutput(const std::string& output);
    // "Pages free: N." with 4096-byte pages.
    static std::string ramFreeFromOutput(const std::string& output);
    // A disk-free line; "" when it has fewer than four columns.
    static std::string hddFreeSpaceFromOutput(const std::string& output);
    static std::string dotNetVersionsFromOutput(const std::string& output);
    static std::string haxmInfoFromOutput(const std::string& output);
    static std::string virtualizationInfoFromOutput(const std::string& output);
    // The short version read from the bundle, absent as "".
    static std::string appVersionFromShortVersion(const std::string& shortVersion);
    // The path of a file relative to the folder of the bundle's "Configs/Configs.json";
    // "." and ".." stay as they are.
    static std::filesystem::path configsFolderPath(const std::string& relativePath);
    // Forgets the OpenGL facts so the tool runs again (tests).
    static void resetOpenGlinfo();
};
