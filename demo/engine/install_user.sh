#!/bin/bash
# Registers the product's disk image for the user who runs it: the user's own copy in the
# application-support folder and a record of the registered version.
# Arguments: version, progress file.
set -u

version="${1:-}"
progress="${2:-}"
[ -n "$version" ] || { echo "missing argument: version" >&2; exit 1; }
[ -n "$progress" ] || { echo "missing argument: progress file" >&2; exit 1; }
[ -n "${HOME:-}" ] || { echo "HOME is not set" >&2; exit 1; }

root="$(cd "$(dirname "$0")" && pwd)"
image="$root/disk/ravelune.vdi"
[ -f "$image" ] || { echo "no disk image at $image" >&2; exit 1; }
folder="$HOME/Library/Application Support/Ravelune/vm"
mkdir -p "$folder" || exit 1
cp "$image" "$folder/ravelune.vdi" || exit 1
printf '%s\n' "$version" >"$folder/registered" || exit 1
echo "Registered $folder/ravelune.vdi"
exit 0
