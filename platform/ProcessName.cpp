#include "platform/ProcessName.h"

#include <fstream>

namespace platform {

std::string processName(pid_t pid) {
    if (pid <= 0) {
        return {};
    }
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (!comm || !std::getline(comm, name)) {
        return {};
    }
    constexpr std::size_t maximumLength = 99;
    if (name.size() > maximumLength) {
        name.resize(maximumLength);
    }
    return name;
}

}  // namespace platform
