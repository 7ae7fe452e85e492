#!/bin/bash
# Checks that kernel modules may be loaded. Exit 27 asks the user to allow them first.
# Arguments: batch index.
set -u
. "$(cd "$(dirname "$0")" && pwd)/../Scripts/progress_lib.sh"

index="${1:-}"
require_argument "batch index" "$index"

disabled_flag="${RAVELUNE_MODULES_DISABLED_FILE:-/proc/sys/kernel/modules_disabled}"
if [ -r "$disabled_flag" ] && [ "$(cat "$disabled_flag")" = "1" ]; then
    printf 'Loading kernel modules is disabled on this machine.\n' >&2
    exit 27
fi
exit 0
