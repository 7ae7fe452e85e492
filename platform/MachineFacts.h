#pragma once

#include <filesystem>
#include <string>

namespace platform::machine {

// The machine's platform UUID, upper case with dashes (8-4-4-4-12): the firmware's product
// UUID when readable, else the system's machine id laid out the same way; empty when neither
// can be read.
std::string platformUuid();

// Lays out 32 hexadecimal digits as an upper-case UUID with dashes; other texts give "".
std::string formatAsUuid(const std::string& hexDigits);

// The model name of the first display-class PCI device (in device-folder order): vendor and
// device names from the PCI id database when present, else "vendor:device" ids; "" when the
// machine shows no such device.
std::string gpuModelName();

// The name of a PCI device from a database in pci.ids layout: "<vendor name> <device name>",
// or "" when the database does not list it. Ids are four lower-case hex digits.
std::string pciDeviceName(const std::filesystem::path& database, const std::string& vendorId, const std::string& deviceId);

}  // namespace platform::machine
