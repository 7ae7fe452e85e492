#pragma once

#include <string>

namespace platform {

// The folder for temporary files: $TMPDIR when set and not empty, else "/tmp/"; always
// ends with a slash, as the platform's temporary-directory call returns it.
std::string temporaryDirectory();

// The login name of the user the installer runs as.
std::string userName();

}  // namespace platform
