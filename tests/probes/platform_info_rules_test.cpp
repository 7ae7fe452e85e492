#include "PlatformInfo.h"
#include "platform/MachineFacts.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

TEST(ProbeRules, AddressesLoseLineFeedsAndSeparators) {
    EXPECT_EQ(PlatformInfo::macAddressFromOutput("a4:83:e7:1b:2c:3d\n"), "A483E71B2C3D");
    EXPECT_EQ(PlatformInfo::macAddressFromOutput(""), "");
    EXPECT_EQ(PlatformInfo::ipAddressFromOutput("192.168.1.20\n"), "192.168.1.20");
    EXPECT_EQ(PlatformInfo::ipAddressFromOutput(""), "");
}

TEST(ProbeRules, CpuUsageAddsUserAndSystemLoad) {
    EXPECT_EQ(PlatformInfo::cpuUsageFromOutput("5.26,10.52,84.21"), "15.78%");
    EXPECT_EQ(PlatformInfo::cpuUsageFromOutput("12.5,0,87.5"), "12.5%");
    // Missing parts count as no load rather than reading past the end.
    EXPECT_EQ(PlatformInfo::cpuUsageFromOutput("7.5"), "7.5%");
    EXPECT_EQ(PlatformInfo::cpuUsageFromOutput(""), "0%");
    EXPECT_EQ(PlatformInfo::cpuUsageFromOutput("x,y"), "0%");
}

TEST(ProbeRules, TextsKeepTheirShape) {
    EXPECT_EQ(PlatformInfo::cpuFromOutput("Intel(R) Core(TM) i7\n"), "Intel(R) Core(TM) i7\n");
    EXPECT_EQ(PlatformInfo::osNameFromOutput("Debian GNU/Linux\n12\n"), "Debian GNU/Linux 12 ");
    EXPECT_EQ(PlatformInfo::osNameFromOutput(""), "");
    EXPECT_EQ(PlatformInfo::dotNetVersionsFromOutput("Mono JIT 6.12\nTLS: __thread\n"), "Mono JIT 6.12 TLS: __thread ");
    EXPECT_EQ(PlatformInfo::osArchitectureNameFromOutput("64\n"), "64 bit");
    EXPECT_EQ(PlatformInfo::osArchitectureNameFromOutput(" 32\n"), "32 bit");
    EXPECT_EQ(PlatformInfo::osArchitectureNameFromOutput(""), "32 bit");
}

TEST(ProbeRules, MemoryInWholeAndFractionalGigabytes) {
    EXPECT_EQ(PlatformInfo::ramTotalFromOutput("17179869184\n"), "16Gb");
    EXPECT_EQ(PlatformInfo::ramTotalFromOutput("17179869183\n"), "15Gb");
    EXPECT_EQ(PlatformInfo::ramTotalFromOutput(""), "0Gb");
    EXPECT_EQ(PlatformInfo::ramFreeFromOutput("Pages free:                             1000.\n"), " 0.00Gb");
    EXPECT_EQ(PlatformInfo::ramFreeFromOutput("Pages free: 262144.\n"), " 1.00Gb");
    EXPECT_EQ(PlatformInfo::ramFreeFromOutput("Pages free: 2621440.\n"), "10.00Gb");
    EXPECT_EQ(PlatformInfo::ramFreeFromOutput(""), " 0.00Gb");
}

TEST(ProbeRules, DiskFreeTakesTheFourthColumn) {
    EXPECT_EQ(PlatformInfo::hddFreeSpaceFromOutput("/dev/disk1s1  465Gi  300Gi  160Gi    66%    /\n"), "160Gi");
    EXPECT_EQ(PlatformInfo::hddFreeSpaceFromOutput("overlay\t\t98G  40G\t 54G  43% /\n"), "54G");
    EXPECT_EQ(PlatformInfo::hddFreeSpaceFromOutput("/dev/sda1 98G 40G"), "");
    EXPECT_EQ(PlatformInfo::hddFreeSpaceFromOutput(""), "");
}

TEST(ProbeRules, SupportAnswersFromTheirMarkers) {
    EXPECT_EQ(PlatformInfo::haxmInfoFromOutput("com.intel.kext.intelhaxm\n"), "HAXM is installed.");
    EXPECT_EQ(PlatformInfo::haxmInfoFromOutput("com.example.nohaxmsupport\n"), "HAXM is NOT installed.");
    EXPECT_EQ(PlatformInfo::haxmInfoFromOutput(""), "HAXM is NOT installed.");
    EXPECT_EQ(PlatformInfo::virtualizationInfoFromOutput("VMX\n"), "Virtualization is enabled in the firmware.");
    EXPECT_EQ(PlatformInfo::virtualizationInfoFromOutput(""), "Virtualization is NOT enabled in the firmware.");
}

TEST(ProbeRules, BandwidthInKilobytesPerSecond) {
    EXPECT_EQ(PlatformInfo::bandwidth(0), "");
    EXPECT_EQ(PlatformInfo::bandwidth(1536), " 1.50 kb/s");
    EXPECT_EQ(PlatformInfo::bandwidth(1048576), "1024.00 kb/s");
}

TEST(MachineFactRules, UuidLayoutAndPciNames) {
    EXPECT_EQ(platform::machine::formatAsUuid("3d1219c7c4c5404aaa1f6d2a48adfda4"), "3D1219C7-C4C5-404A-AA1F-6D2A48ADFDA4");
    EXPECT_EQ(platform::machine::formatAsUuid("3d1219c7"), "");
    EXPECT_EQ(platform::machine::formatAsUuid("zz1219c7c4c5404aaa1f6d2a48adfda4"), "");

    testing_support::TempDir dir;
    const auto database = dir.path() / "pci.ids";
    testing_support::writeFile(database,
                               "# comment\n"
                               "1002  Advanced Micro Devices, Inc. [AMD/ATI]\n"
                               "\t1234  Other Card\n"
                               "10de  NVIDIA Corporation\n"
                               "\t0fe9  GK107M [GeForce GT 750M Mac Edition]\n"
                               "\t\t106b 0130  Subsystem entry\n"
                               "8086  Intel Corporation\n"
                               "\t1234  Intel Card\n");
    EXPECT_EQ(platform::machine::pciDeviceName(database, "10de", "0fe9"), "NVIDIA Corporation GK107M [GeForce GT 750M Mac Edition]");
    EXPECT_EQ(platform::machine::pciDeviceName(database, "10de", "1234"), "");
    EXPECT_EQ(platform::machine::pciDeviceName(database, "8086", "1234"), "Intel Corporation Intel Card");
    EXPECT_EQ(platform::machine::pciDeviceName(dir.path() / "missing", "10de", "0fe9"), "");
}
