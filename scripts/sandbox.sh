#!/usr/bin/env bash
# Runs a command in a throw-away copy of this machine, so that the installer can write where it
# writes ("/tmp/ravl.lock", "/Library/Ravelune", the home folder) and serve port 80 without
# changing anything here: private mount, network and process namespaces, an overlay of "/" on a
# scratch tmpfs (where an ordinary user may not mount an overlay: the host's folders bound in),
# fresh "/tmp" and "/Library", loopback only, the given host names on 127.0.0.1.
#
#   [SANDBOX_BRING_IN=<folder>:...] scripts/sandbox.sh <keep folder> "<host names>" <command> [arguments...]
#
# Inside, the command runs as root in /tmp with HOME=/tmp/home. The keep folder is the one way
# out: it is mounted at its own path, so what the command writes there stays. Run by root, or by
# a user where the system allows unprivileged user namespaces.
set -euo pipefail
# An ordinary user's login shell has no sbin folders in PATH, where chroot lives.
export PATH="$PATH:/usr/sbin:/sbin"
keep=$(realpath "$1"); hosts=$2; shift 2
mkdir -p "$keep"
# This checkout, and any folders named in SANDBOX_BRING_IN (colon-separated), stay visible inside.
bring_in="$(realpath "$(dirname "$0")/..")${SANDBOX_BRING_IN:+:$SANDBOX_BRING_IN}"

userns=()
if [ "$(id -u)" -ne 0 ]; then
    if ! unshare -r true 2>/dev/null; then
        echo "sandbox: needs root, or unprivileged user namespaces (sysctl kernel.unprivileged_userns_clone=1 /" \
             "user.max_user_namespaces > 0), to run the installer without touching this machine." >&2
        exit 77
    fi
    userns=(-r)
fi

# A desktop's X socket lives in /tmp/.X11-unix: brought into the fresh /tmp, it shows the real window.
# Its cookie file is brought in at /tmp/.Xauthority, since the home folder inside is another.
display_env=()
xauthority=
if [ -n "${DISPLAY:-}" ] && [ -d /tmp/.X11-unix ]; then
    display_env=(DISPLAY="$DISPLAY")
    xauthority=${XAUTHORITY:-$HOME/.Xauthority}
    if [ -r "$xauthority" ]; then
        display_env+=(XAUTHORITY=/tmp/.Xauthority)
    else
        xauthority=
    fi
fi

scratch=$(mktemp -d)
trap 'rmdir "$scratch" 2>/dev/null || true' EXIT
status=0
timeout -k 5 "${SANDBOX_TIMEOUT:-300}" unshare "${userns[@]}" -p -f -m -n bash -c '
set -eu; scratch=$1; keep=$2; hosts=$3; xauthority=$4; bring_in=$5; shift 5
mount --make-rprivate /; ip link set lo up
mount -t tmpfs -o size=4g tmpfs "$scratch"; mkdir -p "$scratch"/{up,work,root}
r="$scratch/root"
if ! mount -t overlay overlay -o lowerdir=/,upperdir="$scratch/up",workdir="$scratch/work" "$r" 2>/dev/null; then
    # No overlay in an ordinary user'"'"'s namespace here: the host'"'"'s folders are bound in, read-only
    # where the system lets us; the user could not change them anyway.
    for entry in /*; do
        name=${entry#/}
        case $name in proc|sys|dev|tmp|Library|lost+found) continue ;; esac
        if [ -L "$entry" ]; then ln -s "$(readlink "$entry")" "$r/$name"
        elif [ -d "$entry" ]; then mkdir "$r/$name"; mount --rbind "$entry" "$r/$name"
            mount -o remount,bind,ro "$r/$name" 2>/dev/null || true
        elif [ -f "$entry" ]; then : >"$r/$name"; mount --bind "$entry" "$r/$name"; fi
    done
    mkdir -p "$r/proc" "$r/sys" "$r/dev" "$r/tmp"
fi
mkdir -p "$r/Library"
mount -t proc proc "$r/proc"; mount --rbind /sys "$r/sys"; mount --rbind /dev "$r/dev"
mount -t tmpfs tmpfs "$r/tmp"; mount -t tmpfs tmpfs "$r/Library"
# Folders the fresh /tmp and /Library would hide (a checkout or build under /tmp) come along.
IFS=: read -r -a folders <<<"$bring_in"
for folder in "${folders[@]}"; do
    case $folder in /tmp/*|/Library/*) mkdir -p "$r$folder"; mount --rbind "$folder" "$r$folder" ;; esac
done
mkdir -p "$r$keep"; mount --bind "$keep" "$r$keep"
if [ -n "${DISPLAY:-}" ] && [ -d /tmp/.X11-unix ]; then mkdir -p "$r/tmp/.X11-unix"; mount --bind /tmp/.X11-unix "$r/tmp/.X11-unix"; fi
if [ -n "$xauthority" ]; then : >"$r/tmp/.Xauthority"; mount --bind "$xauthority" "$r/tmp/.Xauthority"; fi
printf "127.0.0.1 localhost\n127.0.0.1 %s\n" "$hosts" >"$scratch/hosts"; mount --bind "$scratch/hosts" "$r/etc/hosts"
mkdir -m 0700 "$r/tmp/runtime"
exec chroot "$r" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/tmp/home USER=root LOGNAME=root LANG=C.UTF-8 XDG_RUNTIME_DIR=/tmp/runtime \
  "${@}"
'  sandbox "$scratch" "$keep" "$hosts" "$xauthority" "$bring_in" env "${display_env[@]}" bash -c 'mkdir -p /tmp/home && cd /tmp && exec "$@"' inside "$@" || status=$?
exit "$status"
