#include "platform/Paths.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace platform::paths {

std::filesystem::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) {
        return entry->pw_dir;
    }
    return "/";
}

std::filesystem::path cacheDirectory() {
    if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache != nullptr && *cache == '/') {
        return cache;
    }
    return homeDirectory() / ".cache";
}

std::filesystem::path applicationSupportDirectory() {
    return homeDirectory() / "Library" / "Application Support" / "Ravelune";
}

std::filesystem::path logsDirectory() {
    return applicationSupportDirectory() / "logs";
}

}  // namespace platform::paths
