#!/usr/bin/env bash
# Runs inside scripts/sandbox.sh: starts the loopback server, runs the installer against it and
# keeps what it left behind.
#
#   sandboxed-install.sh <keep folder> <installer> <server> <served folder>
#
# Environment: RUNS (installer runs one after another, default 1), FAIL_DOWNLOADS=1 (the server
# answers 500 for the component), HOLD_LOCK=1 (a live process holds the lock, with the files of
# its installation in place), MODULES_DISABLED=1 (the kernel-module check fails with 27),
# STALE_MARKER=1 (a killed earlier run left its "installer.wait"), INSTALLER_TIMEOUT (seconds
# after which a run is ended with SIGTERM; none by default), SLOW_DOCUMENT (milliseconds the server
# waits before it answers for the remote document).
# Leaves in the keep folder: "status" (one exit status per run), "home/" (the home folder),
# "Library/", "ravl.lock" (when present), "tmp.txt" (a listing of /tmp), "record/" (the server's).
set -u
keep=$1; installer=$2; server=$3; served=$4

mkdir -p "$keep/record"
server_args=("$served" "$keep/record")
[ "${FAIL_DOWNLOADS:-}" != 1 ] || server_args+=(--fail-downloads)
[ -z "${SLOW_DOCUMENT:-}" ] || server_args+=(--slow /installer/installer.json "$SLOW_DOCUMENT")
"$server" "${server_args[@]}" &
server_pid=$!
for _ in $(seq 100); do [ -e "$keep/record/ready" ] && break; sleep 0.05; done

support="$HOME/Library/Application Support/Ravelune"
downloads="/tmp/ravelune-$(id -u)"  # the user's private temporary folder, where components land
if [ "${HOLD_LOCK:-}" = 1 ]; then
    # Stands for an installation that is running: its lock, download, progress file and marker.
    sleep 600 &
    printf '%d\n%s\n%s' "$!" sleep "Installation in progress, please try again later." >/tmp/ravl.lock
    mkdir -p "$support/logs"
    mkdir -m 700 -p "$downloads"
    printf 'partial download' >"$downloads/RaveluneEngine.zip"
    printf '2: 50\n' >"$support/logs/progress_catcher.log"
    printf 'running\n' >"$support/installer.wait"
fi
if [ "${STALE_MARKER:-}" = 1 ]; then
    mkdir -p "$support"
    printf 'SUCCESS\n1.0.0.0\n' >"$support/installer.wait"
fi
if [ "${MODULES_DISABLED:-}" = 1 ]; then
    echo 1 >/tmp/modules_disabled
    export RAVELUNE_MODULES_DISABLED_FILE=/tmp/modules_disabled
fi
# The demo companion application reports its progress quickly.
export ZORERUROVIDO_STEP_SECONDS=0.05

: >"$keep/status"
for _ in $(seq "${RUNS:-1}"); do
    status=0
    if [ -n "${INSTALLER_TIMEOUT:-}" ]; then
        timeout "$INSTALLER_TIMEOUT" "$installer" || status=$?
    else
        "$installer" || status=$?
    fi
    echo "$status" >>"$keep/status"
done

kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null  # it writes its record now
cp -a "$HOME" "$keep/home"
cp -a /Library "$keep/Library"
[ ! -e /tmp/ravl.lock ] || cp /tmp/ravl.lock "$keep/ravl.lock"
ls -A /tmp >"$keep/tmp.txt"
[ ! -e "$downloads/RaveluneEngine.zip" ] || cp "$downloads/RaveluneEngine.zip" "$keep/"
exit 0
