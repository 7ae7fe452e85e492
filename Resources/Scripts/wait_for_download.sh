#!/bin/bash
# Holds the batch until the installer has written "SUCCESS" into the marker file.
# Arguments: user name, version, marker path, progress file, batch index.
set -u
. "$(cd "$(dirname "$0")" && pwd)/progress_lib.sh"

user="${1:-}"
version="${2:-}"
marker="${3:-}"
progress="${4:-}"
index="${5:-}"
require_argument "user name" "$user"
require_argument "version" "$version"
require_argument "marker path" "$marker"
require_argument "progress file" "$progress"
require_argument "batch index" "$index"

# An installer that went away never writes the marker: give up after this many seconds.
limit="${RAVELUNE_WAIT_LIMIT:-21600}"
report_progress "$index" 0 "$progress"
waited=0
until [ -f "$marker" ] && [ "$(head -n 1 "$marker" 2>/dev/null)" = "SUCCESS" ]; do
    if [ "$waited" -ge "$limit" ]; then
        fail "downloads did not finish within $limit seconds"
    fi
    sleep 1
    waited=$((waited + 1))
done
report_progress "$index" 100 "$progress"
exit 0
