#!/bin/bash
# Holds the batch until the installer that started it has written "SUCCESS" for its own run into
# the marker file. The run is the installer that the lock file names when the wait begins (the
# lock is taken before the batch starts and given back only after it). The wait fails within a
# second or so once the lock names another process or that installer no longer runs: a batch left
# behind by a closed or killed installer never installs, nor does another run's marker release it.
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

# The installers' machine-wide lock; RAVELUNE_LOCK_FILE moves it (tests).
lock="${RAVELUNE_LOCK_FILE:-/tmp/ravl.lock}"
# An installer that never writes the marker while it runs: give up after this many seconds.
limit="${RAVELUNE_WAIT_LIMIT:-21600}"

# The lock's record starts with the holder's process id and name, one line each. The file lies in
# a folder that every user may write to: it is read through no link and without waiting, so that
# a FIFO put in its place cannot hold the batch.
read_holder() {
    local text=""
    text="$(dd if="$lock" iflag=nofollow,nonblock bs=4096 count=1 status=none 2>/dev/null)" || return 1
    { IFS= read -r "$1" && IFS= read -r "$2"; } <<<"$text"
}
run_id=""
run_name=""
read_holder run_id run_name
case "$run_id" in
    "" | *[!0-9]*) fail "no installer holds $lock: this batch has no run to wait for" ;;
esac

# Whether the lock still names this run's installer and that process runs under its name.
run_goes_on() {
    local id="" name="" running=""
    read_holder id name || return 1
    [ "$id" = "$run_id" ] && [ "$name" = "$run_name" ] || return 1
    IFS= read -r running 2>/dev/null <"/proc/$run_id/comm" || return 1
    [ "$running" = "$run_name" ]
}

# Whether the marker says "SUCCESS" for this run: its third line names the run's installer. It
# lies in the user's folder, so it is read with the user's rights, through no link and without
# waiting for a writer: a link planted there cannot make root's files answer, nor a FIFO hold the batch.
marker_is_ours() {
    local text="" result="" written_version="" run=""
    text="$(as_user "$user" dd if="$marker" iflag=nofollow,nonblock bs=4096 count=1 status=none 2>/dev/null)" || return 1
    { IFS= read -r result && IFS= read -r written_version && IFS= read -r run; } <<<"$text"
    [ "$result" = "SUCCESS" ] && [ "$run" = "$run_id" ]
}

report_progress "$index" 0 "$progress" "$user"
waited=0
while :; do
    # Asked first: a marker whose installer has already gone releases nothing.
    run_goes_on || fail "the installer of this run (process $run_id) is gone or no longer holds $lock: nothing is installed"
    marker_is_ours && break
    if [ "$waited" -ge "$limit" ]; then
        fail "downloads did not finish within $limit seconds"
    fi
    sleep 1
    waited=$((waited + 1))
done
report_progress "$index" 100 "$progress" "$user"
exit 0
