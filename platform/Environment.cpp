#include "platform/Environment.h"

#include "platform/FileManager.h"
#include "platform/Paths.h"

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

// The shared "/tmp" lets any user plant a file where the installer would look for its own, so
// without $TMPDIR the installer keeps its temporary files in a folder only this user can enter
// and that no one else can rename or replace on its way from "/" (the path is used by name).
// When another user holds or spoiled the name in "/tmp", the folder in the user's own cache
// folder (links resolved) takes its place: the same one on every run, so that a download can be
// resumed.
bool isUsable(const std::string& folder) {
    return ensurePrivateDirectory(folder) && isReplaceableOnlyByUser(folder);
}

std::string perUserTemporaryDirectory() {
    const std::string shared = "/tmp/ravelune-" + std::to_string(::geteuid());
    if (isUsable(shared)) {
        return shared;
    }
    const std::filesystem::path cache = paths::cacheDirectory();
    std::error_code ignored;
    if (std::filesystem::create_directories(cache, ignored)) {
        std::filesystem::permissions(cache, std::filesystem::perms::owner_all, ignored);
    }
    if (char* real = ::realpath(cache.c_str(), nullptr)) {
        const std::string own = std::string(real) + "/ravelune-installer";
        std::free(real);
        if (isUsable(own)) {
            return own;
        }
    }
    // No later run could find this one again.
    return runDirectory();
}

}  // namespace

std::string runDirectory() {
    static std::once_flag made;
    static std::string fresh = "/tmp/ravelune-" + std::to_string(::geteuid()) + "-XXXXXX";
    std::call_once(made, [] {
        if (::mkdtemp(fresh.data()) != nullptr) {
            std::atexit([] {
                std::error_code failure;
                std::filesystem::remove_all(fresh, failure);
            });
        }
    });
    return fresh;
}

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
