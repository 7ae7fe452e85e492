#pragma once

#include <string>

namespace platform {

// The folder for temporary files: $TMPDIR when set and not empty, else the user's own folder
// "/tmp/ravelune-<uid>/" (created 0700; when that name is taken by a link or by someone else, a
// fresh private folder beside it). Always ends with a slash, as the platform's call returns it.
std::string temporaryDirectory();

// The login name of the user the installer runs as.
std::string userName();

}  // namespace platform
