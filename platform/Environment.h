#pragma once

#include <string>

namespace platform {

// The folder for temporary files: $TMPDIR when set and not empty, else a folder of the user's
// own that no one else may enter or has put anything in (ensurePrivateDirectory): "/tmp/
// ravelune-<uid>/", else "ravelune-installer/" in the user's cache folder, the same on every run;
// only when neither can be used, a fresh private folder for this run. Always ends with a slash,
// as the platform's call returns it.
std::string temporaryDirectory();

// The login name of the user the installer runs as.
std::string userName();

}  // namespace platform
