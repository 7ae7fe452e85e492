#!/bin/bash
# Installs the Ravelune engine from its downloaded archive: the companion application,
# the per-user registration script and the disk image, all under the product's folder.
# Arguments: downloaded file, user name, version, marker path, progress file, batch index.
set -u
. "$(cd "$(dirname "$0")" && pwd)/../Scripts/progress_lib.sh"

archive="${1:-}"
user="${2:-}"
version="${3:-}"
marker="${4:-}"
progress="${5:-}"
index="${6:-}"
require_argument "downloaded file" "$archive"
require_argument "user name" "$user"
require_argument "version" "$version"
require_argument "marker path" "$marker"
require_argument "progress file" "$progress"
require_argument "batch index" "$index"

[ -f "$archive" ] || fail "no downloaded file at $archive"
# The marker goes when the installer ends: nobody is waiting for this install any more.
[ -e "$marker" ] || fail "the installer is gone (no $marker)"

report_progress "$index" 0 "$progress"
root="$(ravelune_root)"
mkdir -p "$root" || fail "cannot create $root"
staging="$(mktemp -d "$root/.engine.XXXXXX")" || fail "cannot create a staging folder in $root"
trap 'rm -rf -- "$staging"' EXIT

unzip -q -o "$archive" -d "$staging" || fail "cannot extract $archive"
# Links inside the archive could point the copies below anywhere: refuse them.
[ -z "$(find "$staging" -type l -print -quit)" ] || fail "the archive holds symbolic links"
report_progress "$index" 50 "$progress"
companion="zorerurovido/Zozivurorido.app/Contents/MacOS/Zozivurorido"
for item in "$companion" install_user.sh VERSION; do
    [ -f "$staging/$item" ] || fail "the archive lacks $item"
done

rm -rf -- "$root/zorerurovido" "$root/disk"
cp -R "$staging/zorerurovido" "$root/" || fail "cannot install the companion application"
[ ! -d "$staging/disk" ] || cp -R "$staging/disk" "$root/" || fail "cannot install the disk image"
cp "$staging/install_user.sh" "$root/install_user.sh" || fail "cannot install install_user.sh"
chmod 755 "$root/$companion" "$root/install_user.sh"
cp "$staging/VERSION" "$root/version.txt" || fail "cannot record the version"
report_progress "$index" 100 "$progress"
exit 0
