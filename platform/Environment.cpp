#include "platform/Environment.h"

#include "platform/FileManager.h"

#include <cstdlib>
#include <mutex>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

// The shared "/tmp" lets any user plant a file where the installer would look for its own, so
// without $TMPDIR the installer keeps its temporary files in a folder only this user can enter.
std::string perUserTemporaryDirectory() {
    const std::string base = "/tmp/ravelune-" + std::to_string(::geteuid());
    if (ensurePrivateDirectory(base)) {
        return base;
    }
    // One fallback folder for the whole run, so that every caller sees the same place.
    static std::once_flag made;
    static std::string fresh = base + "-XXXXXX";
    std::call_once(made, [] { ::mkdtemp(fresh.data()); });
    return fresh;
}

}  // namespace

std::string temporaryDirectory() {
    const char* value = std::getenv("TMPDIR");
    std::string folder = (value != nullptr && *value != '\0') ? value : perUserTemporaryDirectory();
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
