#pragma once

#include <filesystem>

namespace platform::paths {

// The user's home folder: $HOME when set, else the password database's entry.
std::filesystem::path homeDirectory();

// "Library/Application Support/Ravelune/" under the home folder: the installer's own files.
std::filesystem::path applicationSupportDirectory();

// The "logs/" folder inside the application-support folder.
std::filesystem::path logsDirectory();

}  // namespace platform::paths
