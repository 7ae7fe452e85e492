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

# The marker goes when the installer ends: nobody is waiting for this install any more.
[ -e "$marker" ] || fail "the installer is gone (no $marker)"

report_progress "$index" 0 "$progress" "$user"
root="$(ravelune_root)"
mkdir -p "$root" || fail "cannot create $root"
staging="$(mktemp -d "$root/.engine.XXXXXX")" || fail "cannot create a staging folder in $root"
trap 'rm -rf -- "$staging"' EXIT

# The download lies in the user's folder, where the user can put anything in its place at any
# time: it is read as the user, through one descriptor opened without following a link at the
# path and without waiting (a FIFO, or a device, would hold the batch), and only once that
# descriptor is seen to be a regular file. The copy is in root's own folder.
as_user "$user" perl -e '
    use Fcntl;
    my $path = shift;
    sysopen(my $in, $path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY)
        or die $!{ELOOP} ? "cannot read $path: it is a symbolic link\n" : "cannot read $path: $!\n";
    -f $in or die "cannot read $path: it is not a regular file\n";
    fcntl($in, F_SETFL, 0) or die "cannot read $path: $!\n";
    binmode STDOUT;
    for (;;) {
        my $got = sysread($in, my $chunk, 65536);
        defined $got or die "cannot read $path: $!\n";
        last if $got == 0;
        print $chunk or die "cannot copy $path: $!\n";
    }
    close STDOUT or die "cannot copy $path: $!\n";
' -- "$archive" >"$staging/archive.zip" || exit 1
files="$staging/files"
unzip -q -o "$staging/archive.zip" -d "$files" || fail "cannot extract $archive"
# Links inside the archive could point the copies below anywhere: refuse them.
[ -z "$(find "$files" -type l -print -quit)" ] || fail "the archive holds symbolic links"
report_progress "$index" 50 "$progress" "$user"
companion="zorerurovido/Zozivurorido.app/Contents/MacOS/Zozivurorido"
for item in "$companion" install_user.sh VERSION; do
    [ -f "$files/$item" ] || fail "the archive lacks $item"
done

rm -rf -- "$root/zorerurovido" "$root/disk"
cp -R "$files/zorerurovido" "$root/" || fail "cannot install the companion application"
[ ! -d "$files/disk" ] || cp -R "$files/disk" "$root/" || fail "cannot install the disk image"
cp "$files/install_user.sh" "$root/install_user.sh" || fail "cannot install install_user.sh"
chmod 755 "$root/$companion" "$root/install_user.sh"
cp "$files/VERSION" "$root/version.txt" || fail "cannot record the version"
report_progress "$index" 100 "$progress" "$user"
exit 0
