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
# after which a run is ended: SIGTERM, and SIGKILL 10 s later; none by default), SLOW_DOCUMENT
# (milliseconds the server waits before it answers for the remote document).
# SIGNAL=TERM, INT or KILL with SIGNAL_WHEN: the first run gets the signal "document" (once the
# request for the remote document has reached the server; with SLOW_DOCUMENT it is still unanswered),
# "downloading" (the server stalls its first download; the signal comes once that has begun and the
# batch waits for it) or "installing" (once the batch has passed its wait step, while an unzip held
# until then keeps it installing; the signal comes again once the installer has answered the first).
# The next run starts once the first run's lock is free (its batch has ended); with NEXT=at-once it
# starts as soon as the first run has ended, while the first run's batch is held in its wait step
# until the next run says that it waits for that batch (or has ended).
# OVERLAP=1: the first run's companion is slow; once that run has given the lock back a second run
# starts, and once the second run has written its marker the first run gets SIGTERM; the second
# run's batch reads the marker only after the first run has ended (and waits for it 20 s at most).
# TERMINAL=1 starts that first run as the foreground job of a pseudo-terminal ("script"), and
# TERMINAL=wrapper through a wrapper script there; SIGNAL=INT is then Ctrl-C typed at it.
# LEAVE_RUNNING=checker (the component's checker) or installer (the component's installer, as
# root, which then fails) starts a background process once, that outlives the runs.
# Leaves in the keep folder: "status" (one exit status per run), "timed-out" (the numbers of the
# runs that INSTALLER_TIMEOUT ended, one a line), "home/" (the home folder), "Library/",
# "ravl.lock" (when present), "tmp.txt" (a listing of /tmp), "record/" (the server's), and with
# SIGNAL "left-running" (tenths of a second that the first run's lock stayed taken after it ended,
# its batch holding it; 200 when it still was then), with TERMINAL "terminal.out" (what the
# terminal showed), with LEAVE_RUNNING "left-alive" (1 when the background process still ran at
# the end, else 0). LOCK_TOOL names the lock tool.
set -u
keep=$1; installer=$2; server=$3; served=$4

mkdir -p "$keep/record"
server_args=("$served" "$keep/record")
[ "${FAIL_DOWNLOADS:-}" != 1 ] || server_args+=(--fail-downloads)
[ "${SIGNAL_WHEN:-}" != downloading ] || server_args+=(--stall-first-download)
[ -z "${SLOW_DOCUMENT:-}" ] || server_args+=(--slow /installer/installer.json "$SLOW_DOCUMENT")
# Waits at most $1 seconds for the command to succeed.
wait_for() {
    local limit=$(( $1 * 10 )); shift
    until "$@"; do
        limit=$((limit - 1))
        [ "$limit" -gt 0 ] || return 1
        sleep 0.1
    done
}

"$server" "${server_args[@]}" &
server_pid=$!
wait_for 60 test -e "$keep/record/ready"

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

batch_reached() { grep -q "^$1: " "$support/logs/progress.log" 2>/dev/null; }
logged() { grep -q "$1" "$support/logs/installer.log" 2>/dev/null; }
# A batch's reads of the marker ("dd if=...installer.wait") touch /tmp/polling, then wait while
# /tmp/poll-gate exists (60 s at most): the test decides when a batch in its wait step looks again.
gate_marker_reads() {
    mkdir -p /tmp/gate
    printf '#!/bin/sh\ncase "$*" in *installer.wait*) : >/tmp/polling; n=0
    while [ -e /tmp/poll-gate ] && [ $n -lt 600 ]; do sleep 0.1; n=$((n + 1)); done;; esac\nexec %s "$@"\n' \
        "$(command -v dd)" >/tmp/gate/dd
    chmod +x /tmp/gate/dd
    export PATH=/tmp/gate:$PATH
}
# Starts run number $number in the background (its id in $started, its watchdog's in $watchdog),
# ended by force when it does not end in time; record_end <id> <watchdog> waits for such a run and
# notes its exit status.
start_bounded() {
    "$@" &
    started=$!
    (sleep "${INSTALLER_TIMEOUT:-600}"; echo "$number" >>"$keep/timed-out"; kill -s KILL "$started") 2>/dev/null &
    watchdog=$!
}
record_end() {
    local status=0
    wait "$1" || status=$?
    kill "$2" 2>/dev/null
    echo "$status" >>"$keep/status"
}
lock_held() { "$LOCK_TOOL" -c /tmp/ravl.lock 2>/dev/null; [ $? -eq 6 ]; }

# Starts the first run in the background: pid, and for a terminal the descriptor 7 that types at it.
start_first() {
    if [ -z "${TERMINAL:-}" ]; then
        "$@" &
        pid=$!
        return
    fi
    if [ "$TERMINAL" = wrapper ]; then
        printf '#!/bin/bash\n"$@"\n' >/tmp/wrapper.sh
        chmod +x /tmp/wrapper.sh
        set -- /tmp/wrapper.sh "$@"
    fi
    rm -f /tmp/keys && mkfifo /tmp/keys
    # A job of its own, as a terminal's shell starts it: Ctrl-C is not ignored.
    set -m
    script -q -e -c "exec $(printf '%q ' "$@")" /dev/null </tmp/keys >"$keep/terminal.out" 2>&1 &
    pid=$!
    set +m
    exec 7>/tmp/keys
}
send_signal() {
    if [ -n "${TERMINAL:-}" ] && [ "$SIGNAL" = INT ]; then
        printf '\003' >&7
    else
        kill -s "$SIGNAL" "$pid" 2>/dev/null
    fi
}

# A background process that a step leaves, started once, in the group of the step's process:
# the checker runs in a login shell, which reads the profile; the component's installer (as
# root, in the batch) runs unzip from PATH, and then fails.
leave_once='if mkdir /tmp/left 2>/dev/null; then sleep 300 </dev/null >/dev/null 2>&1 & echo $! >/tmp/left.pid'
case "${LEAVE_RUNNING:-}" in
    checker) printf '%s; fi\n' "$leave_once" >"$HOME/.bash_profile" ;;
    installer)
        mkdir -p /tmp/leave
        printf '#!/bin/sh\ncase "$*" in */.engine.*) %s; echo "cannot extract" >&2; exit 9; fi;; esac\nexec %s "$@"\n' \
            "$leave_once" "$(command -v unzip)" >/tmp/leave/unzip
        chmod +x /tmp/leave/unzip
        export PATH=/tmp/leave:$PATH
        ;;
esac

: >"$keep/status"
: >"$keep/timed-out"
runs=${RUNS:-1}
run=1
if [ "${NEXT:-}" = at-once ]; then
    gate_marker_reads
    : >/tmp/poll-gate
fi
if [ -n "${SIGNAL:-}" ]; then
    case "$SIGNAL_WHEN" in
        installing)
            # An unzip on the batch's PATH holds the component's installer until /tmp/slow/go
            # exists (at most a minute), so the signals find the batch installing.
            mkdir -p /tmp/slow
            printf '#!/bin/sh\nfor _ in $(seq 600); do [ -e /tmp/slow/go ] && break; sleep 0.1; done\nexec %s "$@"\n' \
                "$(command -v unzip)" >/tmp/slow/unzip
            chmod +x /tmp/slow/unzip
            start_first env PATH=/tmp/slow:$PATH "$installer"
            wait_for 60 batch_reached 2
            ;;
        downloading)
            start_first "$installer"
            wait_for 60 batch_reached 1 && wait_for 60 test -e "$keep/record/download-begun"
            ;;
        document)
            start_first "$installer"
            wait_for 60 test -e "$keep/record/slow-asked"
            ;;
        *)
            echo "unknown SIGNAL_WHEN: $SIGNAL_WHEN" >&2
            exit 2
            ;;
    esac
    [ "${NEXT:-}" != at-once ] || wait_for 60 test -e /tmp/polling
    send_signal
    # Asked again once it has answered (a killed run answers nothing), then the batch goes on.
    if [ "$SIGNAL_WHEN" = installing ] && [ "$SIGNAL" != KILL ]; then
        wait_for 60 logged "cannot be stopped now"
        send_signal
        touch /tmp/slow/go
    fi
    # Ended by force when it does not end on its own in time.
    (sleep "${INSTALLER_TIMEOUT:-600}"; echo 1 >>"$keep/timed-out"; kill -s KILL "$pid") 2>/dev/null &
    watchdog=$!
    status=0
    wait "$pid" || status=$?
    [ "$SIGNAL_WHEN" != installing ] || touch /tmp/slow/go  # a killed run's batch goes on now
    kill "$watchdog" 2>/dev/null
    echo "$status" >>"$keep/status"
    [ -z "${TERMINAL:-}" ] || exec 7>&-
    tenths=0
    while [ "${NEXT:-}" != at-once ] && lock_held && [ "$tenths" -lt 200 ]; do
        sleep 0.1
        tenths=$((tenths + 1))
    done
    echo "$tenths" >"$keep/left-running"
    run=2
    if [ "${NEXT:-}" = at-once ]; then
        number=2 start_bounded "$installer"
        wait_for 60 eval 'logged "kept only by the administrator batch" || ! kill -0 "$started"'
        rm -f /tmp/poll-gate
        record_end "$started" "$watchdog"
        run=$((runs + 1))
    fi
fi
if [ "${OVERLAP:-}" = 1 ]; then
    gate_marker_reads
    number=1 start_bounded env ZORERUROVIDO_STEP_SECONDS=30 "$installer"
    first=$started first_watchdog=$watchdog
    wait_for 60 logged "Installer successfully unlock"
    : >/tmp/poll-gate
    number=2 start_bounded env RAVELUNE_WAIT_LIMIT=20 "$installer"
    wait_for 60 eval '[ "$(sed -n 3p "$support/installer.wait" 2>/dev/null)" = "$started" ]'
    kill -s TERM "$first"
    record_end "$first" "$first_watchdog"
    rm -f /tmp/poll-gate
    record_end "$started" "$watchdog"
    run=$((runs + 1))
fi
for run in $(seq "$run" "$runs"); do
    status=0
    if [ -n "${INSTALLER_TIMEOUT:-}" ]; then
        started=$SECONDS
        timeout -k 10 "$INSTALLER_TIMEOUT" "$installer" || status=$?
        [ $((SECONDS - started)) -lt "$INSTALLER_TIMEOUT" ] || echo "$run" >>"$keep/timed-out"
    else
        "$installer" || status=$?
    fi
    echo "$status" >>"$keep/status"
done

if [ -n "${LEAVE_RUNNING:-}" ]; then
    if kill -0 "$(cat /tmp/left.pid 2>/dev/null)" 2>/dev/null; then echo 1; else echo 0; fi >"$keep/left-alive"
fi
kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null  # it writes its record now
cp -a "$HOME" "$keep/home"
cp -a /Library "$keep/Library"
[ ! -e /tmp/ravl.lock ] || cp /tmp/ravl.lock "$keep/ravl.lock"
ls -A /tmp >"$keep/tmp.txt"
[ ! -e "$downloads/RaveluneEngine.zip" ] || cp "$downloads/RaveluneEngine.zip" "$keep/"
exit 0
