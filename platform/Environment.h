#pragma once

#include <string>

namespace platform {

// The folder for temporary files: $TMPDIR when set and not empty, else a folder of the user's
// own that no one else may enter or has put anything in (ensurePrivateDirectory) nor rename or
// replace on its way from "/" (isReplaceableOnlyByUser): "/tmp/ravelune-<uid>/", else
// "ravelune-installer/" in the user's cache folder with its links resolved, the same on every
// run; only when neither can be used, a fresh private folder for this run, removed with what it
// holds when the process exits. Always ends with a slash, as the platform's call returns it.
std::string temporaryDirectory();

// A fresh private folder for this run alone ("/tmp/ravelune-<uid>-XXXXXX", made on first use),
// removed with what it holds when the process exits. (When it could not be made, what is put in
// it fails.)
std::string runDirectory();

// The login name of the user the installer runs as.
std::string userName();

}  // namespace platform
