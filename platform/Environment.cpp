#include "platform/Environment.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace platform {

std::string temporaryDirectory() {
    const char* value = std::getenv("TMPDIR");
    std::string folder = (value != nullptr && *value != '\0') ? value : "/tmp/";
    if (folder.back() != '/') {
        folder += '/';
    }
    return folder;
}

std::string userName() {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        return found->pw_name;
    }
    const char* user = std::getenv("USER");
    return user != nullptr ? user : "";
}

}  // namespace platform
