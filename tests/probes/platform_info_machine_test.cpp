#include "PlatformInfo.h"
#include "platform/Paths.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

namespace {

bool matches(const std::string& text, const char* pattern) { return std::regex_match(text, std::regex(pattern)); }

}  // namespace

// Every probe answers on this machine with a text of its usual shape.
TEST(ProbesOnThisMachine, AnswerInTheirFormats) {
    const std::string mac = PlatformInfo::macAddress();
    EXPECT_TRUE(mac.empty() || matches(mac, "[0-9A-F]{12}")) << mac;
    const std::string ip = PlatformInfo::ipAddress();
    EXPECT_TRUE(ip.empty() || matches(ip, "[0-9]+(\\.[0-9]+){3}")) << ip;
    const std::string cpu = PlatformInfo::cpu();
    EXPECT_TRUE(cpu.empty() || cpu.back() == '\n') << cpu;
    EXPECT_TRUE(matches(PlatformInfo::cpuUsage(), "[0-9.e+]+%")) << PlatformInfo::cpuUsage();
    const std::string os = PlatformInfo::osName();
    ASSERT_FALSE(os.empty());
    EXPECT_EQ(os.back(), ' ');
    EXPECT_EQ(PlatformInfo::osArchitectureName(), sizeof(void*) == 8 ? "64 bit" : "32 bit");
    EXPECT_TRUE(matches(PlatformInfo::ramTotal(), "[1-9][0-9]*Gb")) << PlatformInfo::ramTotal();
    EXPECT_TRUE(matches(PlatformInfo::ramFree(), " *[0-9]+\\.[0-9]{2}Gb")) << PlatformInfo::ramFree();
    EXPECT_TRUE(matches(PlatformInfo::hddFreeSpace(), "[0-9.,]+[KMGTPE]?")) << PlatformInfo::hddFreeSpace();
    EXPECT_EQ(PlatformInfo::dotNetVersions().find('\n'), std::string::npos);
    EXPECT_TRUE(matches(PlatformInfo::haxmInfo(), "HAXM is (NOT )?installed\\.")) << PlatformInfo::haxmInfo();
    EXPECT_TRUE(matches(PlatformInfo::virtualizationInfo(), "Virtualization is (NOT )?enabled in the firmware\\."));
    EXPECT_EQ(PlatformInfo::gpuModelName().find('\n'), std::string::npos);
    EXPECT_EQ(PlatformInfo::platformName(), "Mac");
}

TEST(HardwareId, PrefersTheStoredFileByteForByte) {
    testing_support::TempHome home;
    const std::string fromMachine = PlatformInfo::hardwareId();
    EXPECT_TRUE(fromMachine.empty() || matches(fromMachine, "[0-9A-F]{32}")) << fromMachine;
    EXPECT_EQ(PlatformInfo::hardwareId(), fromMachine);

    std::filesystem::create_directories(platform::paths::applicationSupportDirectory());
    const auto file = platform::paths::applicationSupportDirectory() / "hwid.dat";
    testing_support::writeFile(file, "stored-id\n");
    EXPECT_EQ(PlatformInfo::hardwareId(), "stored-id\n");

    testing_support::writeFile(file, std::string("bad\xff\xfe", 5));
    EXPECT_EQ(PlatformInfo::hardwareId(), "");
}
