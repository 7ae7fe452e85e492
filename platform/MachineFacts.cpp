#include "platform/MachineFacts.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <optional>
#include <system_error>
#include <vector>

namespace platform::machine {

namespace {

std::optional<std::string> firstLine(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) {
        return std::nullopt;
    }
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) {
        line.pop_back();
    }
    return line;
}

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// "0x10de" -> "10de"
std::string bareHexId(const std::string& id) {
    std::string bare = id.rfind("0x", 0) == 0 ? id.substr(2) : id;
    std::transform(bare.begin(), bare.end(), bare.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return bare;
}

}  // namespace

std::string formatAsUuid(const std::string& hexDigits) {
    if (hexDigits.size() != 32 || !std::all_of(hexDigits.begin(), hexDigits.end(), [](unsigned char c) { return std::isxdigit(c); })) {
        return "";
    }
    const std::string digits = upper(hexDigits);
    return digits.substr(0, 8) + "-" + digits.substr(8, 4) + "-" + digits.substr(12, 4) + "-" + digits.substr(16, 4) + "-" +
           digits.substr(20);
}

std::string platformUuid() {
    if (auto product = firstLine("/sys/class/dmi/id/product_uuid"); product && !product->empty()) {
        return upper(*product);
    }
    if (auto machineId = firstLine("/etc/machine-id")) {
        return formatAsUuid(*machineId);
    }
    return "";
}

std::string pciDeviceName(const std::filesystem::path& database, const std::string& vendorId, const std::string& deviceId) {
    std::ifstream in(database);
    std::string line;
    std::string vendorName;
    bool inVendor = false;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (line[0] != '\t') {
            if (inVendor) {
                break;  // the vendor's device list has ended without the device
            }
            if (line.rfind(vendorId + "  ", 0) == 0) {
                inVendor = true;
                vendorName = line.substr(vendorId.size() + 2);
            }
            continue;
        }
        if (inVendor && line.size() > 1 && line[1] != '\t' && line.rfind("\t" + deviceId + "  ", 0) == 0) {
            return vendorName + " " + line.substr(deviceId.size() + 3);
        }
    }
    return "";
}

std::string gpuModelName() {
    std::error_code error;
    std::vector<std::filesystem::path> devices;
    for (const auto& entry : std::filesystem::directory_iterator("/sys/bus/pci/devices", error)) {
        devices.push_back(entry.path());
    }
    std::sort(devices.begin(), devices.end());
    for (const auto& device : devices) {
        const auto deviceClass = firstLine(device / "class");
        if (!deviceClass || deviceClass->rfind("0x03", 0) != 0) {
            continue;
        }
        const std::string vendorId = bareHexId(firstLine(device / "vendor").value_or(""));
        const std::string deviceId = bareHexId(firstLine(device / "device").value_or(""));
        for (const char* database : {"/usr/share/misc/pci.ids", "/usr/share/hwdata/pci.ids"}) {
            if (std::string name = pciDeviceName(database, vendorId, deviceId); !name.empty()) {
                return name;
            }
        }
        return vendorId + ":" + deviceId;
    }
    return "";
}

}  // namespace platform::machine
