#pragma once

#include <filesystem>

namespace platform::paths {

// The user's home folder: $HOME when set, else the password database's entry.
std::filesystem::path homeDirectory();

// The user's cache folder: $XDG_CACHE_HOME when it is an absolute path, else ".cache" in the
// home folder.
std::filesystem::path cacheDirectory();

// "Library/Application Support/Ravelune/" under the home folder: the installer's own files.
std::filesystem::path applicationSupportDirectory();

// The "logs/" folder inside the application-support folder.
std::filesystem::path logsDirectory();

}  // namespace platform::paths
