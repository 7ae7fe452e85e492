#!/bin/bash
# Tells the waiting batch that every download is done, by writing the result into the
# marker file of the user's application-support folder. The installer runs this script itself, so
# the third line, its process id, names the run whose batch may go on.
# Arguments: result ("SUCCESS"), version.
set -u
. "$(cd "$(dirname "$0")" && pwd)/progress_lib.sh"

result="${1:-}"
version="${2:-}"
require_argument "result" "$result"
require_argument "version" "$version"
[ -n "${HOME:-}" ] || fail "HOME is not set"

folder="$HOME/Library/Application Support/Ravelune"
mkdir -p "$folder" || fail "cannot create $folder"
marker="$folder/installer.wait"
# Never write through a link somebody else planted.
[ ! -L "$marker" ] || fail "refusing the symbolic link $marker"
printf '%s\n%s\n%s\n' "$result" "$version" "$PPID" >"$marker" || fail "cannot write $marker"
exit 0
